#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "engine/win.h"

class StopSignal;

// The request conventions every fetch shares: a root handle per fetch whose
// access type follows the connection state and whose agent is "Agent%ld" of
// timeGetTime(); URL handles opened with one header line and the flags that
// bypass every cache; reads of up to 40960 bytes (large downloads ask for
// more) into a buffer zeroed before each read, or straight into the caller's
// rooms.
//
// No wait is unbounded: connecting, sending and every wait for the answer or
// for more of the body give up after the request's wait (kNetworkWaitMs unless
// the caller asks for less), and a body that brings under kSlowBodyBytes in a
// whole wait is given up too (a trickling server never trips a time-out).

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

// A sent request: the connection handle it was opened on and the request
// handle itself. The request is declared last, so it closes first.
class UrlRequest {
 public:
  UrlRequest() = default;
  UrlRequest(InternetHandle connection, InternetHandle request, DWORD waitMs)
      : m_connection(std::move(connection)), m_request(std::move(request)), m_waitMs(waitMs) {}

  HINTERNET get() const { return m_request.get(); }
  explicit operator bool() const { return static_cast<bool>(m_request); }
  DWORD WaitMs() const { return m_waitMs; }

 private:
  InternetHandle m_connection;
  InternetHandle m_request;
  DWORD m_waitMs = 0;
};

extern const wchar_t kAcceptAllHeader[];  // "Accept: */*\r\n\r\n"
constexpr DWORD kNetworkWaitMs = 30000;
constexpr DWORD kSlowBodyBytes = 1024;

InternetHandle OpenRootHandle(StopSignal* stop);
// Opens the request in steps (connection, request, time-outs, send) rather
// than in one call, so the time-outs are in place before anything is sent:
// set afterwards, a server that accepts and never answers would hold the
// call for good. What is sent is what the one-call form sends.
UrlRequest OpenUrlHandle(const InternetHandle& root, const std::wstring& url,
                         const std::wstring& headers, StopSignal* stop, DWORD waitMs = 0);
// Tests shorten the default wait; 0 restores kNetworkWaitMs.
void SetNetworkWaitForTesting(DWORD waitMs);

// The status code; false when the answer has none.
bool QueryStatusCode(const UrlRequest& url, DWORD& value);
// Content-Length, read from the header's text so that a body past 4 GiB keeps
// its length (the number-typed query is 32 bits wide); false when the answer
// has none or its value is not one decimal number.
bool QueryContentLength(const UrlRequest& url, std::uint64_t& value);

// A header's text (ASCII, as headers are); false when the answer has none.
bool QueryHeaderText(const UrlRequest& url, DWORD query, std::string& value);

enum class BodyResult { kComplete, kReadFailed, kSinkRefused };

// Reads the body to its end, handing every read to the sink, including the
// final read of 0 bytes. The sink returns false to end the body early. A
// failed, stopped, timed-out or too slow read is kReadFailed. A read takes at
// most readSize bytes, and never more than have arrived.
constexpr DWORD kBodyReadSize = 40960;
using BodySink = std::function<bool(const char* data, DWORD count)>;
// With rooms, every read goes straight into the next room (at most its size)
// and the sink is handed the bytes there: no copy on the way. keep owns the
// room's bytes; a read given up while it still runs holds them until it
// returns. A room without bytes ends the body as the sink's refusal would.
struct BodyRoom {
  std::shared_ptr<char> keep;
  char* data = nullptr;
  DWORD size = 0;
};
using BodyRooms = std::function<BodyRoom()>;
BodyResult ReadBody(const UrlRequest& url, const BodySink& sink, StopSignal* stop,
                    DWORD readSize = kBodyReadSize, const BodyRooms& rooms = nullptr);

// A small file beside the manifest (a delta index, a list), asked for once:
// the body of a 200 answer whose Content-Length is at most `largest`, read
// whole; nothing for another status, a longer or unannounced length, or a
// body that does not come to that length.
std::optional<std::string> FetchSmallBody(const InternetHandle& root, const std::wstring& url,
                                          std::uint64_t largest, StopSignal* stop,
                                          std::atomic<std::uint64_t>& networkBytes);
