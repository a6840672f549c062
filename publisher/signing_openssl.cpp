#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "check/signature_form.h"
#include "engine/public_key.h"
#include "publisher/signing.h"
#include "publisher/system.h"
#include "publisher/tool_error.h"

namespace fs = std::filesystem;

namespace {

constexpr int kCoordinateBytes = 32;
constexpr char kCurve[] = "prime256v1";

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
  void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
  void operator()(std::FILE* p) const { std::fclose(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Free>;

std::string LastError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// A passphrase-protected key fails to load instead of prompting.
int NoPassphrase(char*, int, int, void*) { return -1; }

PublicKeyPoint PointOf(EVP_PKEY* key, const fs::path& keyFile) {
  char group[64] = {};
  std::size_t groupLength = 0;
  if (!EVP_PKEY_is_a(key, "EC") ||
      !EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &groupLength) ||
      std::strcmp(group, kCurve) != 0) {
    ERR_clear_error();
    throw ToolError(DisplayPath(keyFile) + " is not an ECDSA P-256 key");
  }
  PublicKeyPoint point{};
  std::size_t length = 0;
  if (!EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(), point.size(),
                                       &length) ||
      length != point.size() || point[0] != 0x04) {
    throw ToolError("cannot take the public key of " + DisplayPath(keyFile) + ": " + LastError());
  }
  return point;
}

Owned<EVP_PKEY> LoadPrivateKey(const fs::path& keyFile) {
  const Owned<std::FILE> file(OpenForReading(keyFile));
  if (!file) throw ToolError("cannot read " + DisplayPath(keyFile) + ": " + std::strerror(errno));
  Owned<EVP_PKEY> key(PEM_read_PrivateKey(file.get(), nullptr, NoPassphrase, nullptr));
  if (!key) throw ToolError(DisplayPath(keyFile) + " holds no unencrypted private key: " + LastError());
  PointOf(key.get(), keyFile);
  return key;
}

Owned<EVP_PKEY> PublicKeyFromPoint(const PublicKeyPoint& point) {
  const Owned<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!context || EVP_PKEY_fromdata_init(context.get()) <= 0) return nullptr;
  PublicKeyPoint bytes = point;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>(kCurve), 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, bytes.data(), bytes.size()),
      OSSL_PARAM_construct_end(),
  };
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params) <= 0) return nullptr;
  return Owned<EVP_PKEY>(key);
}

}  // namespace

std::string CreateSigningKey(const fs::path& keyFile) {
  Owned<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) throw ToolError("cannot make a key: " + LastError());
  const std::string publicKey = PublicKeyText(PointOf(key.get(), keyFile));

  // O_EXCL: an existing key is never replaced, not even by a race.
  const int fd = ::open(keyFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) throw ToolError(DisplayPath(keyFile) + " exists; a key file is never overwritten");
    throw ToolError("cannot write " + DisplayPath(keyFile) + ": " + std::strerror(errno));
  }
  Owned<std::FILE> file(::fdopen(fd, "wb"));
  if (!file) ::close(fd);
  const bool written =
      file && PEM_write_PrivateKey(file.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  const bool closed = file && std::fclose(file.release()) == 0;
  if (!written || !closed) {
    RemoveFile(keyFile);
    throw ToolError("cannot write " + DisplayPath(keyFile));
  }
  return publicKey;
}

std::string PublicKeyOfKeyFile(const fs::path& keyFile) {
  const Owned<EVP_PKEY> key = LoadPrivateKey(keyFile);
  return PublicKeyText(PointOf(key.get(), keyFile));
}

std::string SignBytes(const fs::path& keyFile, std::string_view message) {
  const Owned<EVP_PKEY> key = LoadPrivateKey(keyFile);
  const Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
  std::size_t derLength = 0;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &derLength,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
    throw ToolError("cannot sign: " + LastError());
  }
  std::vector<unsigned char> der(derLength);
  if (EVP_DigestSign(context.get(), der.data(), &derLength,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
    throw ToolError("cannot sign: " + LastError());
  }
  // OpenSSL gives DER; the updater's verifier takes the fixed-size r || s.
  const unsigned char* cursor = der.data();
  const Owned<ECDSA_SIG> parsed(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derLength)));
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  if (parsed) ECDSA_SIG_get0(parsed.get(), &r, &s);
  std::string raw(kSignatureBytes, '\0');
  auto* out = reinterpret_cast<unsigned char*>(raw.data());
  if (!parsed || BN_bn2binpad(r, out, kCoordinateBytes) != kCoordinateBytes ||
      BN_bn2binpad(s, out + kCoordinateBytes, kCoordinateBytes) != kCoordinateBytes) {
    throw ToolError("cannot sign: " + LastError());
  }
  return raw;
}

bool VerifyBytes(const std::string& publicKeyHex, std::string_view message, std::string_view signature) {
  const std::optional<PublicKeyPoint> point = ParsePublicKey(publicKeyHex);
  if (!point || signature.size() != kSignatureBytes) return false;
  const Owned<EVP_PKEY> key = PublicKeyFromPoint(*point);
  if (!key) {
    ERR_clear_error();
    return false;
  }
  const auto* raw = reinterpret_cast<const unsigned char*>(signature.data());
  Owned<BIGNUM> r(BN_bin2bn(raw, kCoordinateBytes, nullptr));
  Owned<BIGNUM> s(BN_bin2bn(raw + kCoordinateBytes, kCoordinateBytes, nullptr));
  Owned<ECDSA_SIG> parsed(ECDSA_SIG_new());
  if (!r || !s || !parsed || ECDSA_SIG_set0(parsed.get(), r.get(), s.get()) != 1) {
    ERR_clear_error();
    return false;
  }
  r.release();  // now owned by parsed
  s.release();
  unsigned char* der = nullptr;
  const int derLength = i2d_ECDSA_SIG(parsed.get(), &der);
  if (derLength <= 0) {
    ERR_clear_error();
    return false;
  }
  const std::unique_ptr<unsigned char, void (*)(unsigned char*)> derOwner(
      der, [](unsigned char* p) { OPENSSL_free(p); });
  const Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
  const bool valid =
      context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
      EVP_DigestVerify(context.get(), der, static_cast<std::size_t>(derLength),
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
  ERR_clear_error();
  return valid;
}

std::string Sha256Of(std::string_view bytes) {
  unsigned char digest[kSha256Bytes];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1 ||
      length != kSha256Bytes) {
    throw ToolError("cannot hash: " + LastError());
  }
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string SignManifest(const fs::path& keyFile, std::string_view manifest, std::uint64_t serial,
                         std::uint64_t expires) {
  const std::string header = SignatureHeader(serial, expires);
  return header + SignBytes(keyFile, header + Sha256Of(manifest));
}
