#include "transfer/temporary_file_win.h"

#include <io.h>

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
