#pragma once
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The publisher's ECDSA P-256 key that UpDate.ini must be signed with. Its
// text form is the uncompressed point 04 || X || Y as 130 hex digits; the
// signature file UpDate.ini.sig holds r || s, 32 bytes each, big-endian.
constexpr std::size_t kPublicKeyBytes = 65;
constexpr std::size_t kSignatureBytes = 64;
using PublicKeyPoint = std::array<unsigned char, kPublicKeyBytes>;

// The key text built in (UPDATER_PUBLIC_KEY); empty when manifests are not
// signed.
std::string BuiltInPublicKey();

// Lets in-process tests check with and without a key. An empty text means no
// key; std::nullopt returns to the built-in one. Nothing in the program calls
// this.
void SetPublicKeyForTesting(std::optional<std::string> hex);

// Strict: exactly 130 hex digits (either case) starting with "04". Whether
// the point lies on the curve is left to the verifier.
std::optional<PublicKeyPoint> ParsePublicKey(std::string_view hex);
std::string PublicKeyText(const PublicKeyPoint& point);
