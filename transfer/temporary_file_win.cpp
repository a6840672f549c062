#include "transfer/temporary_file_win.h"

#include <io.h>

#include <memory>

#include "engine/handles_win.h"
#include "engine/separators.h"
#include "engine/win.h"

std::uint64_t TemporaryLength(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(ExtendedLengthPath(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool FlushStreamToDisk(std::FILE* stream) {
  if (std::fflush(stream) != 0) return false;
  return ::FlushFileBuffers(reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)))) != FALSE;
}

std::function<void()> FlushAside(const std::wstring& path) {
  auto file = std::make_shared<UniqueFile>(::CreateFileW(
      ExtendedLengthPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!*file) return nullptr;
  return [file] { ::FlushFileBuffers(file->get()); };
}
