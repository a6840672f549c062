#include <algorithm>
#include <cstdio>
#include <vector>

#include "engine/handles_win.h"
#include "engine/my_fun.h"
#include "engine/separators.h"
#include "manifest/manifest_file.h"
#include "manifest/md5.h"

namespace {
// Files are hashed in pieces so memory stays bounded whatever their size;
// pieces this large keep the calls per byte few.
constexpr DWORD kChunkSize = 1 << 20;
}  // namespace

// What the manifest line gets after the file's name: the digest and its line
// end, or the words of the steps that failed, each on its own line. A read
// that fails midway still ends the line with the digest of what was read.
// The project's own MD5 runs here: the platform provider costs a context per
// file (milliseconds each under some systems) and hashes no faster.
std::string FileDigestText(const std::wstring& path, std::vector<char>& scratch) {
  UniqueFile file(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return "CalculateMd5Worry\n";
  LARGE_INTEGER size{};
  // No size, no digest: the entry reads as changed and the walk goes on.
  if (!::GetFileSizeEx(file.get(), &size)) return "GetFileSizeWorry\n";

  std::string text;
  const size_t bufferSize = static_cast<size_t>(
      std::min<long long>(std::max<long long>(size.QuadPart, 1), kChunkSize));
  if (scratch.size() < bufferSize) scratch.resize(bufferSize);
  Md5 md5;
  long long left = size.QuadPart;
  while (left > 0) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<long long>(left, kChunkSize));
    if (!::ReadFile(file.get(), scratch.data(), want, &got, nullptr)) {
      text += "ReadFileWorry\n";
      break;
    }
    if (got == 0) break;  // the file shrank: hash what there was
    md5.Update(scratch.data(), got);
    left -= got;
  }
  return text + Md5::ToHex(md5.Final()) + "\n";
}

void CMyFun::CalculateMd5(const std::wstring& path, FILE* stream) {
  std::vector<char> scratch;
  const std::string text = FileDigestText(path, scratch);
  std::fwrite(text.data(), 1, text.size(), stream);
}
