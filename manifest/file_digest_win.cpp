#include <algorithm>
#include <cstdio>
#include <vector>

#include "engine/handles_win.h"
#include "engine/my_fun.h"
#include "engine/separators.h"
#include "manifest/md5.h"

namespace {
// Files are hashed in pieces so memory stays bounded whatever their size.
constexpr DWORD kChunkSize = 1 << 20;

void Write(FILE* stream, const char* word) { std::fputs(word, stream); }
}  // namespace

// Completes the manifest line the walk has started: the digest and its line
// end, or the words of the steps that failed, each on its own line. Every step
// after the open runs even when an earlier one failed, so an empty provider or
// hash makes the later steps fail and write their words too.
void CMyFun::CalculateMd5(const std::wstring& path, FILE* stream) {
  UniqueFile file(::CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    Write(stream, "CalculateMd5Worry\n");
    return;
  }
  // The hash is declared after its provider so it is destroyed first.
  UniqueCryptProv provider;
  {
    HCRYPTPROV handle = 0;
    if (::CryptAcquireContextW(&handle, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
      provider.reset(handle);
    } else {
      Write(stream, "CryptAcquireContextWorry\n");
    }
  }
  UniqueCryptHash hash;
  {
    HCRYPTHASH handle = 0;
    if (::CryptCreateHash(provider.get(), CALG_MD5, 0, 0, &handle)) {
      hash.reset(handle);
    } else {
      Write(stream, "CryptCreateHashWorry\n");
    }
  }

  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size)) {
    // No size, no digest: the entry reads as changed and the walk goes on.
    Write(stream, "GetFileSizeWorry\n");
    return;
  }

  std::vector<BYTE> buffer(static_cast<size_t>(
      std::min<long long>(size.QuadPart, static_cast<long long>(kChunkSize))));
  long long left = size.QuadPart;
  for (;;) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<long long>(left, kChunkSize));
    bool readFailed = false;
    if (want > 0 && !::ReadFile(file.get(), buffer.data(), want, &got, nullptr)) {
      Write(stream, "ReadFileWorry\n");
      got = 0;
      readFailed = true;
    }
    if (!::CryptHashData(hash.get(), buffer.data(), got, 0)) {
      Write(stream, "CryptHashDataWorry\n");
      break;
    }
    left -= got;
    if (readFailed || got == 0 || left <= 0) break;
  }
  file.reset();  // closed before the digest is fetched

  DWORD length = 4;
  if (!::CryptGetHashParam(hash.get(), HP_HASHVAL, nullptr, &length, 0)) {
    Write(stream, "GetLengthWorry\n");
  }
  std::vector<BYTE> digest(length, 0);
  if (!::CryptGetHashParam(hash.get(), HP_HASHVAL, digest.data(), &length, 0)) return;

  std::string text;
  static const char kHex[] = "0123456789abcdef";
  for (DWORD i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xF];
  }
  std::fwrite(text.data(), 1, text.size(), stream);
  Write(stream, "\n");
}
