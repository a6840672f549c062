#include "manifest/md5.h"

#include <cstring>

namespace {

inline std::uint32_t RotateLeft(std::uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

// F and G in forms equal to RFC 1321's that compile to fewer dependent steps:
// a select as z ^ (x & (y ^ z)), and an OR of disjoint bits as an addition,
// which folds into the step's sum. About a tenth faster overall.
inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return z ^ (x & (y ^ z)); }
inline std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return (x & z) + (y & ~z); }
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; }
inline std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return y ^ (x | ~z); }

// Byte shifts instead of a memcpy keep the result independent of host endianness.
inline std::uint32_t LoadLe32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
         (std::uint32_t(p[3]) << 24);
}

inline void StoreLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
  p[2] = std::uint8_t(v >> 16);
  p[3] = std::uint8_t(v >> 24);
}

}  // namespace

#define MD5_STEP(f, a, b, c, d, k, t, s) \
  a += f(b, c, d) + x[k] + (t);          \
  a = RotateLeft(a, s) + b;

void Md5::Block(const std::uint8_t* block) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLe32(block + 4 * i);

  std::uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];

  MD5_STEP(F, a, b, c, d, 0, 0xd76aa478u, 7)
  MD5_STEP(F, d, a, b, c, 1, 0xe8c7b756u, 12)
  MD5_STEP(F, c, d, a, b, 2, 0x242070dbu, 17)
  MD5_STEP(F, b, c, d, a, 3, 0xc1bdceeeu, 22)
  MD5_STEP(F, a, b, c, d, 4, 0xf57c0fafu, 7)
  MD5_STEP(F, d, a, b, c, 5, 0x4787c62au, 12)
  MD5_STEP(F, c, d, a, b, 6, 0xa8304613u, 17)
  MD5_STEP(F, b, c, d, a, 7, 0xfd469501u, 22)
  MD5_STEP(F, a, b, c, d, 8, 0x698098d8u, 7)
  MD5_STEP(F, d, a, b, c, 9, 0x8b44f7afu, 12)
  MD5_STEP(F, c, d, a, b, 10, 0xffff5bb1u, 17)
  MD5_STEP(F, b, c, d, a, 11, 0x895cd7beu, 22)
  MD5_STEP(F, a, b, c, d, 12, 0x6b901122u, 7)
  MD5_STEP(F, d, a, b, c, 13, 0xfd987193u, 12)
  MD5_STEP(F, c, d, a, b, 14, 0xa679438eu, 17)
  MD5_STEP(F, b, c, d, a, 15, 0x49b40821u, 22)

  MD5_STEP(G, a, b, c, d, 1, 0xf61e2562u, 5)
  MD5_STEP(G, d, a, b, c, 6, 0xc040b340u, 9)
  MD5_STEP(G, c, d, a, b, 11, 0x265e5a51u, 14)
  MD5_STEP(G, b, c, d, a, 0, 0xe9b6c7aau, 20)
  MD5_STEP(G, a, b, c, d, 5, 0xd62f105du, 5)
  MD5_STEP(G, d, a, b, c, 10, 0x02441453u, 9)
  MD5_STEP(G, c, d, a, b, 15, 0xd8a1e681u, 14)
  MD5_STEP(G, b, c, d, a, 4, 0xe7d3fbc8u, 20)
  MD5_STEP(G, a, b, c, d, 9, 0x21e1cde6u, 5)
  MD5_STEP(G, d, a, b, c, 14, 0xc33707d6u, 9)
  MD5_STEP(G, c, d, a, b, 3, 0xf4d50d87u, 14)
  MD5_STEP(G, b, c, d, a, 8, 0x455a14edu, 20)
  MD5_STEP(G, a, b, c, d, 13, 0xa9e3e905u, 5)
  MD5_STEP(G, d, a, b, c, 2, 0xfcefa3f8u, 9)
  MD5_STEP(G, c, d, a, b, 7, 0x676f02d9u, 14)
  MD5_STEP(G, b, c, d, a, 12, 0x8d2a4c8au, 20)

  MD5_STEP(H, a, b, c, d, 5, 0xfffa3942u, 4)
  MD5_STEP(H, d, a, b, c, 8, 0x8771f681u, 11)
  MD5_STEP(H, c, d, a, b, 11, 0x6d9d6122u, 16)
  MD5_STEP(H, b, c, d, a, 14, 0xfde5380cu, 23)
  MD5_STEP(H, a, b, c, d, 1, 0xa4beea44u, 4)
  MD5_STEP(H, d, a, b, c, 4, 0x4bdecfa9u, 11)
  MD5_STEP(H, c, d, a, b, 7, 0xf6bb4b60u, 16)
  MD5_STEP(H, b, c, d, a, 10, 0xbebfbc70u, 23)
  MD5_STEP(H, a, b, c, d, 13, 0x289b7ec6u, 4)
  MD5_STEP(H, d, a, b, c, 0, 0xeaa127fau, 11)
  MD5_STEP(H, c, d, a, b, 3, 0xd4ef3085u, 16)
  MD5_STEP(H, b, c, d, a, 6, 0x04881d05u, 23)
  MD5_STEP(H, a, b, c, d, 9, 0xd9d4d039u, 4)
  MD5_STEP(H, d, a, b, c, 12, 0xe6db99e5u, 11)
  MD5_STEP(H, c, d, a, b, 15, 0x1fa27cf8u, 16)
  MD5_STEP(H, b, c, d, a, 2, 0xc4ac5665u, 23)

  MD5_STEP(I, a, b, c, d, 0, 0xf4292244u, 6)
  MD5_STEP(I, d, a, b, c, 7, 0x432aff97u, 10)
  MD5_STEP(I, c, d, a, b, 14, 0xab9423a7u, 15)
  MD5_STEP(I, b, c, d, a, 5, 0xfc93a039u, 21)
  MD5_STEP(I, a, b, c, d, 12, 0x655b59c3u, 6)
  MD5_STEP(I, d, a, b, c, 3, 0x8f0ccc92u, 10)
  MD5_STEP(I, c, d, a, b, 10, 0xffeff47du, 15)
  MD5_STEP(I, b, c, d, a, 1, 0x85845dd1u, 21)
  MD5_STEP(I, a, b, c, d, 8, 0x6fa87e4fu, 6)
  MD5_STEP(I, d, a, b, c, 15, 0xfe2ce6e0u, 10)
  MD5_STEP(I, c, d, a, b, 6, 0xa3014314u, 15)
  MD5_STEP(I, b, c, d, a, 13, 0x4e0811a1u, 21)
  MD5_STEP(I, a, b, c, d, 4, 0xf7537e82u, 6)
  MD5_STEP(I, d, a, b, c, 11, 0xbd3af235u, 10)
  MD5_STEP(I, c, d, a, b, 2, 0x2ad7d2bbu, 15)
  MD5_STEP(I, b, c, d, a, 9, 0xeb86d391u, 21)

  m_state[0] += a;
  m_state[1] += b;
  m_state[2] += c;
  m_state[3] += d;
}

#undef MD5_STEP

void Md5::Update(const void* data, std::size_t size) {
  if (size == 0) return;
  auto in = static_cast<const std::uint8_t*>(data);
  std::size_t fill = static_cast<std::size_t>(m_length % 64);
  m_length += size;

  if (fill != 0) {
    const std::size_t take = size < 64 - fill ? size : 64 - fill;
    std::memcpy(m_pending + fill, in, take);
    in += take;
    size -= take;
    if (fill + take < 64) return;
    Block(m_pending);
  }
  // Whole blocks straight from the caller's buffer, without copying.
  for (; size >= 64; in += 64, size -= 64) Block(in);
  if (size != 0) std::memcpy(m_pending, in, size);
}

Md5::Digest Md5::Final() {
  const std::uint64_t bitLength = m_length * 8;
  std::uint8_t tail[72] = {0x80};
  const std::size_t fill = static_cast<std::size_t>(m_length % 64);
  // Pad to 56 mod 64, leaving room for the 8-byte length.
  const std::size_t padding = fill < 56 ? 56 - fill : 120 - fill;
  for (int i = 0; i < 8; ++i) tail[padding + i] = std::uint8_t(bitLength >> (8 * i));
  Update(tail, padding + 8);

  Digest digest;
  for (int i = 0; i < 4; ++i) StoreLe32(digest.data() + 4 * i, m_state[i]);
  return digest;
}

std::string Md5::ToHex(const Digest& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string text(32, '0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 0x0f];
  }
  return text;
}

std::string Md5::HexOf(std::string_view bytes) {
  Md5 md5;
  md5.Update(bytes.data(), bytes.size());
  return ToHex(md5.Final());
}
