#include "manifest/manifest_file.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "engine/handles_win.h"
#include "engine/separators.h"
#include "engine/stop_signal.h"
#include "manifest/file_reader_win.h"
#include "manifest/manifest_reader.h"
#include "manifest/read_through.h"
#include "manifest/md5.h"

bool ReadManifestFile(const std::wstring& path, std::wstring& text) {
  const int fd = ::_wsopen(path.c_str(), _O_RDONLY | _O_CREAT | _O_TEXT, _SH_DENYNO,
                           _S_IREAD | _S_IWRITE);
  if (fd == -1) return false;
  struct FdCloser {
    int fd;
    ~FdCloser() { ::_close(fd); }
  } closer{fd};

  const long long size = ::_filelengthi64(fd);
  if (size < 0) return false;
  std::vector<char> bytes(static_cast<size_t>(size) + 1, '\0');
  size_t got = 0;
  while (got < bytes.size() - 1) {
    const unsigned ask = static_cast<unsigned>(std::min<size_t>(bytes.size() - 1 - got, 1u << 30));
    const int n = ::_read(fd, bytes.data() + got, ask);
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  bytes[got] = '\0';

  std::wstring wide;
  const int count = ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(), -1, nullptr, 0);
  if (count > 1) {
    wide.resize(static_cast<size_t>(count));
    ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(), -1, wide.data(), count);
    wide.resize(static_cast<size_t>(count) - 1);
  }
  text = PrepareManifestText(wide);
  return true;
}

FileReader::FileReader(const std::wstring& path, DWORD share)
    : m_file(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {}

bool FileReader::Size(long long& size) const {
  LARGE_INTEGER value{};
  if (!::GetFileSizeEx(m_file.get(), &value)) return false;
  size = value.QuadPart;
  return true;
}

long long FileReader::operator()(char* buffer, std::size_t capacity) {
  if (m_left == 0) return 0;
  std::size_t want = std::min<std::size_t>(capacity, 1u << 30);
  if (m_left > 0) want = static_cast<std::size_t>(std::min<long long>(m_left, static_cast<long long>(want)));
  DWORD got = 0;
  if (!::ReadFile(m_file.get(), buffer, static_cast<DWORD>(want), &got, nullptr)) return -1;
  if (m_left > 0) m_left -= got;
  return got;
}

bool AddFileToMd5(const std::wstring& path, Md5& md5, const StopSignal* stop) {
  FileReader file(path, FILE_SHARE_READ);
  if (!file.IsOpen()) return false;
  std::vector<char> buffer;
  return ReadThrough(
      file, [&md5](const char* data, std::size_t count) { md5.Update(data, count); }, buffer,
      [stop] { return StopRequested(stop); });
}
