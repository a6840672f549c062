// Adds a test CA to the Root store of the Wine prefix it runs in, so the
// HTTPS case of the end-to-end suite can trust its own server. Never run
// against anything but the suite's private prefix.
//   trust_ca.exe ca.der
#include <cstdio>
#include <vector>

#include "engine/win.h"
#include <wincrypt.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  std::FILE* file = ::_wfopen(argv[1], L"rb");
  if (!file) return 3;
  std::vector<unsigned char> der(1 << 16);
  const size_t size = std::fread(der.data(), 1, der.size(), file);
  std::fclose(file);
  if (size == 0 || size == der.size()) return 4;
  if (!::CertAddEncodedCertificateToSystemStoreW(L"Root", der.data(), static_cast<DWORD>(size))) {
    std::fprintf(stderr, "CertAddEncodedCertificateToSystemStoreW: %lu\n", ::GetLastError());
    return 1;
  }
  return 0;
}
