// Drives the updater's dialog from another process, the way a user would:
// reads control texts and states, presses buttons and keys. Commands arrive
// one per line on stdin; each gets one line of JSON on stdout.
//   find <ms>        wait for the window "自动更新程序V1.0"
//   state            texts, enabled/visible flags, progress, list rows
//   controls         the same without the list rows
//   click <id>       press a button (BM_CLICK)
//   esc | enter      the keys, through the dialog's own key handling
//   focus <id>       move the keyboard focus to a control (WM_NEXTDLGCTL)
//   close            the window's close button (SC_CLOSE)
//   gone <ms>        wait for the window to disappear
//   rect             the window's screen rectangle (for screenshots)
//   count            how many visible windows "自动更新程序V1.0" there are
//   quit
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "engine/win.h"

namespace {

constexpr wchar_t kTitle[] = L"自动更新程序V1.0";
const int kControls[] = {1001, 1002, 1003, 1004, 1017, 1020, 1021, 1022, 1023};

HWND g_dialog = nullptr;

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
  return out;
}

std::string Json(const std::wstring& text) {
  std::string out = "\"";
  for (char c : Utf8(text)) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::wstring Text(HWND hwnd) {
  wchar_t buffer[4096] = {};
  DWORD_PTR ignored = 0;
  ::SendMessageTimeoutW(hwnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG,
                        2000, &ignored);
  return buffer;
}

// List-view texts live in the updater's address space: the request and its
// buffer are placed there for the duration of the call.
using Table = std::vector<std::vector<std::wstring>>;

Table Rows(HWND list) {
  Table rows;
  DWORD pid = 0;
  ::GetWindowThreadProcessId(list, &pid);
  HANDLE process = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!process) return rows;
  constexpr SIZE_T kChars = 1024;
  auto* remote = static_cast<char*>(::VirtualAllocEx(process, nullptr, sizeof(LVITEMW) + kChars * 2,
                                                     MEM_COMMIT, PAGE_READWRITE));
  if (remote) {
    const int count = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < count; ++row) {
      std::vector<std::wstring> cells;
      for (int column = 0; column < 2; ++column) {
        LVITEMW item{};
        item.iSubItem = column;
        item.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(LVITEMW));
        item.cchTextMax = kChars;
        ::WriteProcessMemory(process, remote, &item, sizeof(item), nullptr);
        const auto length = ::SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(remote));
        std::vector<wchar_t> text(kChars, L'\0');
        ::ReadProcessMemory(process, remote + sizeof(LVITEMW), text.data(), kChars * 2, nullptr);
        cells.emplace_back(text.data(), static_cast<size_t>(length));
      }
      rows.push_back(cells);
    }
    ::VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  ::CloseHandle(process);
  return rows;
}

bool Find(DWORD timeoutMs) {
  const DWORD start = ::GetTickCount();
  // Visible means initialised: a click sent while OnInitDialog still runs
  // (it fetches the update log) would be lost.
  while (!(g_dialog = ::FindWindowW(L"#32770", kTitle)) || !::IsWindowVisible(g_dialog)) {
    if (::GetTickCount() - start > timeoutMs) return false;
    ::Sleep(50);
  }
  return true;
}

std::string State(bool withRows) {
  if (!g_dialog || !::IsWindow(g_dialog)) return "{\"found\": false}";
  std::string out = "{\"found\": true, \"controls\": {";
  bool first = true;
  for (int id : kControls) {
    HWND control = ::GetDlgItem(g_dialog, id);
    if (!first) out += ", ";
    first = false;
    out += "\"" + std::to_string(id) + "\": {\"text\": " + Json(Text(control)) +
           ", \"enabled\": " + (::IsWindowEnabled(control) ? "true" : "false") +
           ", \"visible\": " + (::IsWindowVisible(control) ? "true" : "false") + "}";
  }
  out += "}, \"progress\": " +
         std::to_string(::SendMessageW(::GetDlgItem(g_dialog, 1003), PBM_GETPOS, 0, 0)) + ", \"rows\": [";
  first = true;
  for (const auto& row : withRows ? Rows(::GetDlgItem(g_dialog, 1023)) : Table()) {
    if (!first) out += ", ";
    first = false;
    out += "[" + Json(row[0]) + ", " + Json(row[1]) + "]";
  }
  return out + "]}";
}

BOOL CALLBACK CountDialog(HWND window, LPARAM param) {
  wchar_t title[64] = {};
  ::GetWindowTextW(window, title, 64);
  if (::IsWindowVisible(window) && std::wstring(title) == kTitle) ++*reinterpret_cast<int*>(param);
  return TRUE;
}

void Key(UINT key) {
  ::PostMessageW(g_dialog, WM_KEYDOWN, key, 0);
  ::PostMessageW(g_dialog, WM_KEYUP, key, 0);
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto space = line.find(' ');
    const std::string command = line.substr(0, space);
    const std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
    std::string reply = "{\"ok\": true}";
    if (command == "find") {
      reply = Find(static_cast<DWORD>(std::stoul(argument))) ? "{\"ok\": true}" : "{\"ok\": false}";
    } else if (command == "state") {
      reply = State(true);
    } else if (command == "controls") {
      reply = State(false);  // without the rows, cheap enough to poll
    } else if (command == "click") {
      ::PostMessageW(::GetDlgItem(g_dialog, std::stoi(argument)), BM_CLICK, 0, 0);
    } else if (command == "esc") {
      Key(VK_ESCAPE);
    } else if (command == "enter") {
      Key(VK_RETURN);
    } else if (command == "focus") {
      ::SendMessageW(g_dialog, WM_NEXTDLGCTL,
                     reinterpret_cast<WPARAM>(::GetDlgItem(g_dialog, std::stoi(argument))), TRUE);
    } else if (command == "close") {
      ::PostMessageW(g_dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (command == "gone") {
      const DWORD start = ::GetTickCount();
      while (::IsWindow(g_dialog) && ::GetTickCount() - start < std::stoul(argument)) ::Sleep(50);
      reply = ::IsWindow(g_dialog) ? "{\"ok\": false}" : "{\"ok\": true}";
    } else if (command == "rect") {
      RECT r{};
      ::GetWindowRect(g_dialog, &r);
      reply = "{\"ok\": true, \"left\": " + std::to_string(r.left) + ", \"top\": " +
              std::to_string(r.top) + ", \"right\": " + std::to_string(r.right) +
              ", \"bottom\": " + std::to_string(r.bottom) + "}";
    } else if (command == "count") {
      int count = 0;
      ::EnumWindows(CountDialog, reinterpret_cast<LPARAM>(&count));
      reply = "{\"ok\": true, \"count\": " + std::to_string(count) + "}";
    } else if (command == "quit") {
      break;
    } else {
      reply = "{\"ok\": false, \"error\": \"unknown command\"}";
    }
    std::cout << reply << std::endl;
  }
  return 0;
}
