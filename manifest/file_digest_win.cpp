#include <cstdio>
#include <vector>

#include "engine/my_fun.h"
#include "engine/stop_signal.h"
#include "manifest/file_reader_win.h"
#include "manifest/manifest_file.h"
#include "manifest/read_through.h"

// What the manifest line gets after the file's name: the digest and its line
// end, or the words of the steps that failed, each on its own line. A read
// that fails midway still ends the line with the digest of what was read.
// The project's own MD5 runs here: the platform provider costs a context per
// file (milliseconds each under some systems) and hashes no faster.
std::string FileDigestText(const std::wstring& path, std::vector<char>& scratch,
                           const StopSignal* stop) {
  // The share mode admits readers only, so the file cannot change while it is
  // open: it is read to its end without asking its size first, one query per
  // file less, which under Wine is a measurable part of hashing a small file.
  FileReader file(path, FILE_SHARE_READ);
  if (!file.IsOpen()) return "CalculateMd5Worry\n";
  return Md5TextOf(file, scratch, [stop] { return StopRequested(stop); });
}

void CMyFun::CalculateMd5(const std::wstring& path, FILE* stream, const StopSignal* stop) {
  std::vector<char> scratch;
  const std::string text = FileDigestText(path, scratch, stop);
  std::fwrite(text.data(), 1, text.size(), stream);
}
