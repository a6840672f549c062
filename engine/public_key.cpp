#include "engine/public_key.h"

#include "public_key_config.h"

namespace {
std::optional<std::string>& Override() {
  static std::optional<std::string> hex;
  return hex;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::string BuiltInPublicKey() { return Override() ? *Override() : std::string(UPDATER_PUBLIC_KEY_HEX); }

void SetPublicKeyForTesting(std::optional<std::string> hex) { Override() = std::move(hex); }

std::optional<PublicKeyPoint> ParsePublicKey(std::string_view hex) {
  if (hex.size() != 2 * kPublicKeyBytes) return std::nullopt;
  PublicKeyPoint point{};
  for (std::size_t i = 0; i < point.size(); ++i) {
    const int high = HexValue(hex[2 * i]);
    const int low = HexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    point[i] = static_cast<unsigned char>(high * 16 + low);
  }
  if (point[0] != 0x04) return std::nullopt;
  return point;
}

std::string PublicKeyText(const PublicKeyPoint& point) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * point.size());
  for (unsigned char byte : point) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0f];
  }
  return text;
}
