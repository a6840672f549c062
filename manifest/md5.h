#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// RFC 1321 MD5, fed in pieces of any size.
//   Md5 h; h.Update(data, size); std::string hex = Md5::ToHex(h.Final());
class Md5 {
 public:
  using Digest = std::array<std::uint8_t, 16>;

  void Update(const void* data, std::size_t size);
  Digest Final();  // the object must not be fed after this

  // 32 lowercase hexadecimal characters, bytes in digest order.
  static std::string ToHex(const Digest& digest);
  static std::string HexOf(std::string_view bytes);

 private:
  void Block(const std::uint8_t* block);

  std::uint32_t m_state[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
  std::uint64_t m_length = 0;  // bytes fed so far
  std::uint8_t m_pending[64] = {};
};
