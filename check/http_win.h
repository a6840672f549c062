#pragma once
#include <functional>
#include <string>

#include "engine/win.h"

class StopSignal;

// The request conventions every fetch shares: a root handle per fetch whose
// access type follows the connection state and whose agent is "Agent%ld" of
// timeGetTime(); URL handles opened with one header line and the flags that
// bypass every cache; 40960-byte reads into a buffer zeroed before each read.

// Owns a WinINet handle. With a stop signal the handle is registered there,
// so a closing dialog can close it to break a blocking call; the owner then
// leaves it alone. Declare the URL handle after its root: it closes first.
class InternetHandle {
 public:
  InternetHandle() = default;
  InternetHandle(HINTERNET handle, StopSignal* stop);
  InternetHandle(InternetHandle&& other) noexcept;
  InternetHandle& operator=(InternetHandle&& other) noexcept;
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  ~InternetHandle() { Close(); }

  HINTERNET get() const { return m_handle; }
  explicit operator bool() const { return m_handle != nullptr; }
  void Close();

 private:
  HINTERNET m_handle = nullptr;
  StopSignal* m_stop = nullptr;
};

extern const wchar_t kAcceptAllHeader[];  // "Accept: */*\r\n\r\n"

InternetHandle OpenRootHandle(StopSignal* stop);
InternetHandle OpenUrlHandle(const InternetHandle& root, const std::wstring& url,
                             const std::wstring& headers, StopSignal* stop);

// Number-typed header queries into a 32-bit value; false when the answer has
// no such header.
bool QueryStatusCode(const InternetHandle& url, DWORD& value);
bool QueryContentLength(const InternetHandle& url, DWORD& value);

enum class BodyResult { kComplete, kReadFailed, kSinkRefused };

// Reads the body to its end, handing every read to the sink, including the
// final read of 0 bytes. The sink returns false to end the body early.
using BodySink = std::function<bool(const char* data, DWORD count)>;
BodyResult ReadBody(const InternetHandle& url, const BodySink& sink, StopSignal* stop);
