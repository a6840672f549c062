#include "check/http_win.h"

#include <algorithm>
#include <cwchar>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "check/body_pace.h"
#include "engine/monitor.h"
#include "engine/stop_signal.h"
#include "transfer/byte_ranges.h"

const wchar_t kAcceptAllHeader[] = L"Accept: */*\r\n\r\n";

namespace {
constexpr DWORD kRequestFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
static_assert(kRequestFlags == 0x84000100, "request flags");

volatile LONG g_waitForTesting = 0;

bool QueryNumber(const UrlRequest& url, DWORD query, DWORD& value) {
  DWORD length = sizeof(value);
  return ::HttpQueryInfoW(url.get(), query | HTTP_QUERY_FLAG_NUMBER, &value, &length, nullptr);
}

// The host, port and object (path plus query) of an http or https URL.
struct UrlParts {
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring object;
  bool secure = false;
};

bool CrackUrl(const std::wstring& url, UrlParts& parts) {
  URL_COMPONENTSW cracked{};
  cracked.dwStructSize = sizeof(cracked);
  // Non-zero lengths ask for pointers into the URL itself, nothing decoded.
  cracked.dwHostNameLength = 1;
  cracked.dwUrlPathLength = 1;
  cracked.dwExtraInfoLength = 1;
  if (!::InternetCrackUrlW(url.c_str(), 0, 0, &cracked)) return false;
  if (cracked.nScheme != INTERNET_SCHEME_HTTP && cracked.nScheme != INTERNET_SCHEME_HTTPS) {
    return false;
  }
  parts.host.assign(cracked.lpszHostName, cracked.dwHostNameLength);
  parts.port = cracked.nPort;
  parts.object.assign(cracked.lpszUrlPath, cracked.dwUrlPathLength);
  parts.object.append(cracked.lpszExtraInfo, cracked.dwExtraInfoLength);
  if (parts.object.empty()) parts.object = L"/";
  parts.secure = cracked.nScheme == INTERNET_SCHEME_HTTPS;
  return !parts.host.empty();
}
}  // namespace

void SetNetworkWaitForTesting(DWORD waitMs) {
  ::InterlockedExchange(&g_waitForTesting, static_cast<LONG>(waitMs));
}

InternetHandle::InternetHandle(HINTERNET handle, StopSignal* stop) : m_handle(handle), m_stop(stop) {
  if (m_handle && m_stop) m_stop->Register(m_handle);
}

InternetHandle::InternetHandle(InternetHandle&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)), m_stop(other.m_stop) {}

InternetHandle& InternetHandle::operator=(InternetHandle&& other) noexcept {
  if (this != &other) {
    Close();
    m_handle = std::exchange(other.m_handle, nullptr);
    m_stop = other.m_stop;
  }
  return *this;
}

void InternetHandle::Close() {
  const HINTERNET handle = std::exchange(m_handle, nullptr);
  if (!handle) return;
  if (!m_stop || m_stop->Unregister(handle)) ::InternetCloseHandle(handle);
}

InternetHandle OpenRootHandle(StopSignal* stop) {
  DWORD state = 0;
  ::InternetGetConnectedState(&state, 0);
  const DWORD access = (state & INTERNET_CONNECTION_PROXY)
                           ? INTERNET_OPEN_TYPE_PRECONFIG
                           : INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY;
  wchar_t agent[260] = {};
  // Printed signed: after 2^31 ms of uptime the agent carries a minus sign.
  std::swprintf(agent, 260, L"Agent%ld", static_cast<long>(static_cast<int>(::timeGetTime())));
  return InternetHandle(::InternetOpenW(agent, access, nullptr, nullptr, 0), stop);
}

UrlRequest OpenUrlHandle(const InternetHandle& root, const std::wstring& url,
                         const std::wstring& headers, StopSignal* stop, DWORD waitMs) {
  if (!root || StopRequested(stop)) return UrlRequest();
  if (waitMs == 0) {
    const DWORD forTesting = static_cast<DWORD>(g_waitForTesting);
    waitMs = forTesting ? forTesting : kNetworkWaitMs;
  }
  UrlParts parts;
  if (!CrackUrl(url, parts)) return UrlRequest();
  InternetHandle connection(::InternetConnectW(root.get(), parts.host.c_str(), parts.port, nullptr,
                                               nullptr, INTERNET_SERVICE_HTTP, 0, 0),
                            nullptr);
  if (!connection) return UrlRequest();
  // The accept type and the headers added before the send reproduce the
  // request the one-call form makes, header for header.
  const wchar_t* acceptTypes[] = {L"*/*", nullptr};
  const DWORD flags = kRequestFlags | (parts.secure ? INTERNET_FLAG_SECURE : 0);
  InternetHandle request(::HttpOpenRequestW(connection.get(), nullptr, parts.object.c_str(), nullptr,
                                            nullptr, acceptTypes, flags, 0),
                         stop);
  if (!request) return UrlRequest();
  for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                             INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    ::InternetSetOptionW(request.get(), option, &waitMs, sizeof(waitMs));
  }
  const DWORD headerLength = static_cast<DWORD>(::lstrlenW(headers.c_str()));
  if (headerLength > 0 &&
      !::HttpAddRequestHeadersW(request.get(), headers.c_str(), headerLength, HTTP_ADDREQ_FLAG_ADD)) {
    return UrlRequest();
  }
  if (StopRequested(stop) || !::HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0)) {
    return UrlRequest();
  }
  return UrlRequest(std::move(connection), std::move(request), waitMs);
}

bool QueryStatusCode(const UrlRequest& url, DWORD& value) {
  return QueryNumber(url, HTTP_QUERY_STATUS_CODE, value);
}

bool QueryContentLength(const UrlRequest& url, std::uint64_t& value) {
  std::string text;
  if (!QueryHeaderText(url, HTTP_QUERY_CONTENT_LENGTH, text)) return false;
  const std::optional<std::uint64_t> length = ParseContentLength(text);
  if (!length) return false;
  value = *length;
  return true;
}

bool QueryHeaderText(const UrlRequest& url, DWORD query, std::string& value) {
  char text[1024] = {};
  DWORD length = sizeof(text) - 1;
  if (!::HttpQueryInfoA(url.get(), query, text, &length, nullptr)) return false;
  value.assign(text, std::min<DWORD>(length, sizeof(text) - 1));
  return true;
}

namespace {

// Runs the large reads of one body on a thread of its own. A large read waits
// until its whole buffer has arrived, and under Wine neither closing the
// handle nor the receive time-out ends one that a trickling server keeps
// alive. The receiving thread waits for each read at most the request's wait
// and leaves at once when stopped; a read it gives up stays with this thread,
// which owns the buffer it reads into (its own, or a share of the caller's
// room), touches nothing else and ends when the read returns (on Windows, as
// soon as the request handle is closed).
class ReaderThread {
 public:
  enum class Result { kRead, kFailed, kGivenUp };

  ReaderThread(HINTERNET request, DWORD bufferSize) : m_shared(std::make_shared<Shared>()) {
    m_shared->request = request;
    m_shared->buffer.resize(bufferSize);
    try {
      std::thread([shared = m_shared] { Loop(*shared); }).detach();
      m_started = true;
    } catch (const std::system_error&) {
    }
  }
  ~ReaderThread() { Leave(); }
  ReaderThread(const ReaderThread&) = delete;
  ReaderThread& operator=(const ReaderThread&) = delete;

  bool Started() const { return m_started; }

  // One read of up to want bytes, into the room when it has bytes, else into
  // the thread's own buffer; data stays valid until the next call.
  Result Read(DWORD want, const BodyRoom& room, DWORD waitMs, StopSignal* stop, const char*& data,
              DWORD& count) {
    Shared& shared = *m_shared;
    shared.monitor.Lock();
    shared.want = want;
    shared.room = room;
    shared.asked = true;
    shared.answered = false;
    shared.monitor.Unlock();
    shared.monitor.WakeAll();
    const DWORD startedAt = ::GetTickCount();
    shared.monitor.Lock();
    for (;;) {
      if (shared.answered) {
        data = shared.room.data ? shared.room.data : shared.buffer.data();
        count = shared.count;
        const bool ok = shared.ok;
        shared.monitor.Unlock();
        return ok ? Result::kRead : Result::kFailed;
      }
      if (StopRequested(stop) || ::GetTickCount() - startedAt >= waitMs) break;
      // Short slices: a stop is seen within one of them.
      shared.monitor.WaitFor(kStopCheckMs);
    }
    shared.monitor.Unlock();
    Leave();
    return Result::kGivenUp;
  }

 private:
  static constexpr DWORD kStopCheckMs = 100;

  struct Shared {
    Monitor monitor;
    HINTERNET request = nullptr;
    std::vector<char> buffer;
    BodyRoom room;
    DWORD want = 0;
    DWORD count = 0;
    bool ok = false;
    bool asked = false;
    bool answered = false;
    bool leaving = false;
  };

  static void Loop(Shared& shared) {
    shared.monitor.Lock();
    for (;;) {
      while (!shared.asked && !shared.leaving) shared.monitor.Wait();
      if (shared.leaving) break;
      shared.asked = false;
      const DWORD want = shared.want;
      char* into = shared.room.data;
      shared.monitor.Unlock();
      // A room is not zeroed: only the bytes read are ever looked at there.
      if (!into) {
        into = shared.buffer.data();
        std::fill(shared.buffer.begin(), shared.buffer.begin() + want, '\0');
      }
      DWORD count = 0;
      const BOOL ok = ::InternetReadFile(shared.request, into, want, &count);
      shared.monitor.Lock();
      shared.ok = ok != FALSE;
      shared.count = count;
      shared.answered = true;
      shared.monitor.Unlock();
      shared.monitor.WakeAll();
      shared.monitor.Lock();
    }
    shared.monitor.Unlock();
  }

  void Leave() {
    m_shared->monitor.Lock();
    m_shared->leaving = true;
    m_shared->monitor.Unlock();
    m_shared->monitor.WakeAll();
  }

  std::shared_ptr<Shared> m_shared;
  bool m_started = false;
};

}  // namespace

BodyResult ReadBody(const UrlRequest& url, const BodySink& sink, StopSignal* stop,
                    DWORD readSize, const BodyRooms& rooms) {
  readSize = std::max<DWORD>(readSize, 1);
  const bool readAhead = readSize > kBodyReadSize;
  BodyPace pace(url.WaitMs(), kSlowBodyBytes, ::GetTickCount());
  // Only callers that ask for large reads read ahead of what has arrived.
  ReadAhead ahead(readSize);
  std::unique_ptr<ReaderThread> reader;
  if (readAhead) {
    reader = std::make_unique<ReaderThread>(url.get(), rooms ? 0 : readSize);
    if (!reader->Started()) reader.reset();  // no thread to be had: read here
  }
  std::vector<char> buffer(reader || rooms ? 0 : readSize);
  for (;;) {
    if (StopRequested(stop)) return BodyResult::kReadFailed;
    // Asking what has arrived first keeps each read from waiting for a full
    // buffer: a synchronous read of 40960 bytes would otherwise sit on a
    // trickling server until the buffer fills. The wait here is bounded by
    // the request's receive time-out.
    DWORD available = 0;
    if (!::InternetQueryDataAvailable(url.get(), &available, 0, 0)) return BodyResult::kReadFailed;
    DWORD want =
        readAhead ? ahead.Next(available) : std::min(std::max<DWORD>(available, 1), readSize);
    BodyRoom room;
    if (rooms) {
      room = rooms();
      if (!room.data || room.size == 0) return BodyResult::kSinkRefused;
      want = std::min(want, room.size);
    }
    char* into = room.data ? room.data : buffer.data();
    const char* data = into;
    DWORD count = 0;
    const DWORD startedAt = ::GetTickCount();
    if (reader) {
      if (reader->Read(want, room, url.WaitMs(), stop, data, count) != ReaderThread::Result::kRead) {
        return BodyResult::kReadFailed;
      }
    } else {
      if (!room.data) std::fill(buffer.begin(), buffer.begin() + want, '\0');
      if (!::InternetReadFile(url.get(), into, want, &count)) {
        return BodyResult::kReadFailed;
      }
    }
    const DWORD now = ::GetTickCount();
    ahead.Took(count, now - startedAt);
    if (!sink(data, count)) return BodyResult::kSinkRefused;
    if (count == 0) return BodyResult::kComplete;
    if (!pace.Add(now, count)) return BodyResult::kReadFailed;
  }
}

std::optional<std::string> FetchSmallBody(const InternetHandle& root, const std::wstring& url,
                                          std::uint64_t largest, StopSignal* stop,
                                          std::atomic<std::uint64_t>& networkBytes) {
  UrlRequest request = OpenUrlHandle(root, url, kAcceptAllHeader, stop);
  DWORD status = 0;
  std::uint64_t length = 0;
  if (!request || !QueryStatusCode(request, status) || status != 200 || !QueryContentLength(request, length) ||
      length > largest) {
    return std::nullopt;
  }
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(length));
  const BodyResult body = ReadBody(
      request,
      [&](const char* data, DWORD count) {
        networkBytes += count;
        if (count > length - bytes.size()) return false;
        bytes.append(data, count);
        return true;
      },
      stop);
  if (body != BodyResult::kComplete || bytes.size() != length) return std::nullopt;
  return bytes;
}
