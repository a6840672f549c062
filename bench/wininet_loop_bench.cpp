// The floor this Wine sets for many small files: the plainest sequential
// WinINet loop (open the URL, read the body, write the file, close), one
// root handle, no checks, no window. The list is what the download bench
// fetches: the names in <folder>UpDate.ini.
//   wininet_loop_bench.exe BASE_URL FOLDER
// prints one line:
//   result ok=1 seconds=S files=N
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_win.h"
#include "engine/my_fun.h"
#include "manifest/manifest_file.h"
#include "transfer/url_path.h"

namespace {

bool MakeParents(const std::wstring& path) {
  const auto cut = path.rfind(L'\\');
  if (cut == std::wstring::npos) return true;
  const std::wstring folder = path.substr(0, cut);
  if (::GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  if (!MakeParents(folder)) return false;
  return ::CreateDirectoryW(folder.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

bool Fetch(HINTERNET root, const std::wstring& url, const std::wstring& path,
           std::vector<char>& buffer) {
  HINTERNET request = ::InternetOpenUrlW(
      root, url.c_str(), nullptr, 0,
      INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE, 0);
  if (!request) return false;
  bool ok = MakeParents(path);
  HANDLE file = ok ? ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr)
                   : INVALID_HANDLE_VALUE;
  ok = file != INVALID_HANDLE_VALUE;
  for (DWORD count = 0; ok;) {
    if (!::InternetReadFile(request, buffer.data(), static_cast<DWORD>(buffer.size()), &count)) {
      ok = false;
      break;
    }
    if (count == 0) break;
    DWORD written = 0;
    ok = ::WriteFile(file, buffer.data(), count, &written, nullptr) && written == count;
  }
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  ::InternetCloseHandle(request);
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: wininet_loop_bench.exe BASE_URL FOLDER\n");
    return 2;
  }
  const std::wstring url = argv[1];
  std::wstring folder = argv[2];
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  std::wstring serverText;
  if (!ReadManifestFile(folder + L"UpDate.ini", serverText)) {
    std::fprintf(stderr, "cannot read UpDate.ini in the folder\n");
    return 2;
  }
  const DownloadList files = CMyFun::CompareManifests(serverText, L"\n");
  HINTERNET root = ::InternetOpenW(L"loop", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (!root) return 2;
  std::vector<char> buffer(1 << 20);
  const double start = bench::Seconds();
  bool ok = true;
  for (const std::wstring& name : files) {
    if (!Fetch(root, url + UrlPathOf(name), folder + name, buffer)) {
      ok = false;
      break;
    }
  }
  const double seconds = bench::Seconds() - start;
  ::InternetCloseHandle(root);
  std::printf("result ok=%d seconds=%.6f files=%u\n", ok ? 1 : 0, seconds,
              static_cast<unsigned>(files.size()));
  return ok ? 0 : 1;
}
