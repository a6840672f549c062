#pragma once
#include <string>

#include "engine/handles_win.h"

// The platform side of ReadThrough: a file opened for reading with
// CreateFileW and read with ReadFile, optionally no further than a size.
class FileReader {
 public:
  FileReader(const std::wstring& path, DWORD share);
  bool IsOpen() const { return static_cast<bool>(m_file); }
  bool Size(long long& size) const;
  // Reads end after this many bytes: a file growing while it is hashed is
  // hashed as it was when its size was taken.
  void StopAfter(long long bytes) { m_left = bytes; }
  long long operator()(char* buffer, std::size_t capacity);

 private:
  UniqueFile m_file;
  long long m_left = -1;  // below 0: up to the end of the file
};
