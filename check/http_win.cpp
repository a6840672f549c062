#include "check/http_win.h"

#include <algorithm>
#include <cwchar>
#include <utility>
#include <vector>

#include "engine/stop_signal.h"

const wchar_t kAcceptAllHeader[] = L"Accept: */*\r\n\r\n";

namespace {
constexpr DWORD kReadSize = 40960;
constexpr DWORD kRequestFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
static_assert(kRequestFlags == 0x84000100, "request flags");

bool QueryNumber(const InternetHandle& url, DWORD query, DWORD& value) {
  DWORD length = sizeof(value);
  return ::HttpQueryInfoW(url.get(), query | HTTP_QUERY_FLAG_NUMBER, &value, &length, nullptr);
}
}  // namespace

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

InternetHandle OpenUrlHandle(const InternetHandle& root, const std::wstring& url,
                             const std::wstring& headers, StopSignal* stop) {
  if (!root || StopRequested(stop)) return InternetHandle();
  return InternetHandle(::InternetOpenUrlW(root.get(), url.c_str(), headers.c_str(),
                                           static_cast<DWORD>(::lstrlenW(headers.c_str())),
                                           kRequestFlags, 0),
                        stop);
}

bool QueryStatusCode(const InternetHandle& url, DWORD& value) {
  return QueryNumber(url, HTTP_QUERY_STATUS_CODE, value);
}

bool QueryContentLength(const InternetHandle& url, DWORD& value) {
  return QueryNumber(url, HTTP_QUERY_CONTENT_LENGTH, value);
}

BodyResult ReadBody(const InternetHandle& url, const BodySink& sink, StopSignal* stop) {
  std::vector<char> buffer(kReadSize);
  for (;;) {
    if (StopRequested(stop)) return BodyResult::kReadFailed;
    std::fill(buffer.begin(), buffer.end(), '\0');
    DWORD count = 0;
    if (!::InternetReadFile(url.get(), buffer.data(), kReadSize, &count)) {
      return BodyResult::kReadFailed;
    }
    if (!sink(buffer.data(), count)) return BodyResult::kSinkRefused;
    if (count == 0) return BodyResult::kComplete;
  }
}
