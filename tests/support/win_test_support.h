#pragma once
// Helpers for the tests that run under Wine: files, temporary folders and the
// fault server that run_with_server.sh starts for each test program.
#include <string>
#include <vector>

#include "engine/win.h"

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

// A fresh, empty folder below %TEMP%, with a trailing backslash.
std::wstring MakeTempFolder(const std::wstring& tag);
void RemoveTree(const std::wstring& folder);

void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
bool PathExists(const std::wstring& path);

// The fault server: base URL "http://127.0.0.1:PORT" (no trailing slash), its
// document root as a Windows path with a trailing backslash, its rules and
// its request log. Empty URL when no server was started.
std::wstring ServerUrl();
std::wstring ServerRoot();
// Serves bytes at a URL path such as "/Velmora/Qyr/Test/Update/a.dll".
void ServeBytes(const std::string& urlPath, const std::string& bytes);
void RemoveServed(const std::string& urlPath);
// Replaces the server's rules (JSON, see fault_server.py); "" clears them.
void SetFaults(const std::string& json);
// One JSON object per request since the last ClearRequestLog().
std::vector<std::string> RequestLog();
void ClearRequestLog();
// Requests whose path is exactly urlPath.
std::vector<std::string> RequestsFor(const std::string& urlPath);
// The value of a string field in one JSON log line ("" when null or absent).
std::string JsonField(const std::string& line, const std::string& field);

// Polls until the condition holds or the time is up; true when it held.
template <class Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (::GetTickCount() - start >= timeoutMs) return condition();
    ::Sleep(20);
  }
}
