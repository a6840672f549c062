#pragma once
#include <cstddef>
#include <random>
#include <string>

// Bytes that look random and repeat for a seed, so a failing case replays.
inline std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}
