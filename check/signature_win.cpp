#include "check/signature_win.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "check/http_win.h"
#include "engine/diagnostics.h"
#include "engine/handles_win.h"
#include "engine/public_key.h"
#include "manifest/file_reader_win.h"
#include "manifest/read_through.h"

namespace {

constexpr ULONG kDigestBytes = 32;
constexpr ULONG kCoordinateBytes = 32;

bool Sha256OfFile(const std::wstring& path, unsigned char (&digest)[kDigestBytes]) {
  FileReader file(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (!file.IsOpen()) return false;
  BCRYPT_ALG_HANDLE rawAlg = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&rawAlg, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    return false;
  }
  const UniqueBcryptAlg alg(rawAlg);
  BCRYPT_HASH_HANDLE rawHash = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptCreateHash(alg.get(), &rawHash, nullptr, 0, nullptr, 0, 0))) return false;
  const UniqueBcryptHash hash(rawHash);
  bool hashed = true;
  std::vector<char> buffer;
  const bool read = ReadThrough(
      file,
      [&](const char* data, std::size_t count) {
        hashed = hashed && BCRYPT_SUCCESS(::BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(data)),
                                                           static_cast<ULONG>(count), 0));
      },
      buffer);
  return read && hashed && BCRYPT_SUCCESS(::BCryptFinishHash(hash.get(), digest, kDigestBytes, 0));
}

UniqueBcryptKey ImportPublicKey(const BCRYPT_ALG_HANDLE alg, const PublicKeyPoint& point) {
  // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y without the 04 prefix.
  std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinateBytes);
  BCRYPT_ECCKEY_BLOB header{};
  header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = kCoordinateBytes;
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, point.data() + 1, 2 * kCoordinateBytes);
  BCRYPT_KEY_HANDLE key = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptImportKeyPair(alg, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                            static_cast<ULONG>(blob.size()), 0))) {
    return UniqueBcryptKey();
  }
  return UniqueBcryptKey(key);
}

// The signature file, exactly as served: only a 200 answer counts, and a
// body longer than a signature is not read to its end.
bool FetchSignature(const InternetHandle& root, const std::wstring& url, std::string& signature,
                    bool& opened, StopSignal* stop) {
  const UrlRequest request = OpenUrlHandle(root, url, kAcceptAllHeader, stop);
  opened = static_cast<bool>(request);
  if (!request) return false;
  DWORD status = 0;
  if (!QueryStatusCode(request, status) || status != 200) return false;
  const BodyResult body = ReadBody(
      request,
      [&](const char* data, DWORD count) {
        signature.append(data, count);
        return signature.size() <= kSignatureBytes;
      },
      stop);
  DWORD announced = 0;
  const bool cutShort = QueryContentLength(request, announced) && signature.size() < announced;
  return body == BodyResult::kComplete && !cutShort;
}

}  // namespace

bool VerifyFileSignature(const std::string& publicKeyHex, const std::wstring& path,
                         const std::string& signature) {
  const std::optional<PublicKeyPoint> point = ParsePublicKey(publicKeyHex);
  if (!point || signature.size() != kSignatureBytes) return false;
  unsigned char digest[kDigestBytes];
  if (!Sha256OfFile(path, digest)) return false;
  BCRYPT_ALG_HANDLE rawAlg = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&rawAlg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
    return false;
  }
  const UniqueBcryptAlg alg(rawAlg);
  const UniqueBcryptKey key = ImportPublicKey(alg.get(), *point);
  if (!key) return false;
  std::string copy = signature;  // the API takes a non-const buffer
  return BCRYPT_SUCCESS(::BCryptVerifySignature(key.get(), nullptr, digest, kDigestBytes,
                                                reinterpret_cast<PUCHAR>(copy.data()), kSignatureBytes, 0));
}

bool ManifestSignatureHolds(const InternetHandle& root, const std::wstring& manifestUrl,
                            const std::wstring& copy, const std::wstring& folder, StopSignal* stop) {
  const std::string key = BuiltInPublicKey();
  if (key.empty()) return true;
  std::string signature;
  bool opened = false;
  if (!FetchSignature(root, manifestUrl + L".sig", signature, opened, stop)) {
    ReportDiagnostic(opened ? "SignatureFail\n" : "OpenUrlFail\n", folder);
    return false;
  }
  if (!VerifyFileSignature(key, copy, signature)) {
    ReportDiagnostic("SignatureFail\n", folder);
    return false;
  }
  return true;
}
