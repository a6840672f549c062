// Names from a hostile server manifest: an accepted name must stay inside the
// installation folder and name an ordinary file there. The checker below is
// written separately from transfer/name_safety.cpp so a regression there shows.
#include "fuzz/fuzz_support.h"
#include "transfer/name_safety.h"

namespace {

std::vector<std::wstring> Components(const std::wstring& name) {
  std::vector<std::wstring> parts(1);
  for (const wchar_t c : name) {
    if (c == L'\\' || c == L'/') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

std::wstring Upper(std::wstring s) {
  for (wchar_t& c : s) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
  }
  return s;
}

// Windows opens a device for these whatever the folder and the extension.
bool IsDeviceBase(const std::wstring& component) {
  std::wstring base = component.substr(0, component.find(L'.'));
  base = base.substr(0, base.find_last_not_of(L' ') + 1);  // npos + 1 == 0
  base = Upper(base);
  for (const wchar_t* d : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
    if (base == d) return true;
  }
  if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0)) {
    const wchar_t n = base[3];
    return (n >= L'0' && n <= L'9') || n == 0xB9 || n == 0xB2 || n == 0xB3;
  }
  return false;
}

// Why a name is unsafe, or nullptr. Walks the components from the root, and
// names a ".." that would climb out separately from one that stays inside.
const char* Unsafe(const std::wstring& name) {
  int depth = 0;
  for (const std::wstring& part : Components(name)) {
    if (part.empty()) return "empty component (root, UNC or doubled separator)";
    if (part == L"..") return depth == 0 ? "climbs above the root" : "dot-dot component";
    if (part == L".") return "dot component";
    ++depth;
    for (const wchar_t c : part) {
      if (static_cast<std::uint32_t>(c) < 0x20) return "control character";
      if (std::wstring(L":<>\"|?*").find(c) != std::wstring::npos) return "drive, stream or wildcard";
    }
    if (part.back() == L'.' || part.back() == L' ') return "trailing dot or space";
    if (IsDeviceBase(part)) return "device name";
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::wstring name = fuzz::WideFromUtf16Le(data, size);
  const bool accepted = IsSafeRelativeName(name);
  const char* why = Unsafe(name);
  if (accepted && why != nullptr) {
    std::fprintf(stderr, "accepted an unsafe name: %s\n", why);
    std::abort();
  }
  // The rules are the whole contract: a name they allow must not be refused
  // (a refused name is a file the client never gets).
  FUZZ_CHECK(accepted || why != nullptr);

  if (accepted) {
    FUZZ_CHECK(IsSafeRelativeName(name + L"\\x"));
    FUZZ_CHECK(IsSafeRelativeName(name + L"/x"));
    // Every leading run of whole components is accepted too.
    for (std::size_t i = 0; i < name.size(); ++i) {
      if (name[i] == L'\\' || name[i] == L'/') FUZZ_CHECK(IsSafeRelativeName(name.substr(0, i)));
    }
  } else {
    FUZZ_CHECK(!IsSafeRelativeName(name + L"\\x"));
  }

  // The updater's own names are a matter of the disk's spelling: letter case
  // and the separator change nothing, and every temporary name is one.
  const bool own = IsUpdaterOwnName(name);
  std::wstring backslashed = name;
  for (wchar_t& c : backslashed) {
    if (c == L'/') c = L'\\';
  }
  FUZZ_CHECK(IsUpdaterOwnName(Upper(name)) == own);
  FUZZ_CHECK(IsUpdaterOwnName(backslashed) == own);
  FUZZ_CHECK(IsUpdaterOwnName(name + L".tMp"));
  return 0;
}
