#pragma once
// Fixed manifests, keys and signatures made once with "updater-manifest
// keygen" and "sign" (OpenSSL). The Windows suite checks that CNG accepts
// them; the native suite that the tool's own verifier does.
#include <string>

namespace vectors {

inline const std::string kD1 = "0cc175b9c0f1b6a831c399e269772661";
inline const std::string kD2 = "92eb5ffee6ae2fec3ad71c777531578f";
inline const std::string kD3 = "4a8a08f09d37b73795649038408b5f33";

// Against kLocal: "Part" with b.dat and new\c.txt.
inline const std::string kPartManifest =
    "b.dat\t" + kD3 + "\r\nnew\\c.txt\t" + kD3 + "\r\na.dll\t" + kD1 + "\r\n";
// Against kLocal: "Allnew".
inline const std::string kAllnewManifest = "a.dll\t" + kD1 + "\r\n";
inline const std::string kLocal = "a.dll\t" + kD1 + "\r\nb.dat\t" + kD2 + "\r\n";

// Over 100000 bytes, so it arrives in several reads, with a 0x1A byte after
// which the updater's text ends but the signed bytes go on.
inline std::string LargeManifest() {
  std::string same;
  for (int i = 0; same.size() < 100000; ++i) same += "f" + std::to_string(i) + ".bin\t" + kD1 + "\r\n";
  return same + "changed.bin\t" + kD2 + "\n\r\x1a" + "after.bin\t" + kD3 + std::string("\r\n\0\xff\r\r\n\x1a", 8);
}

inline const std::string kKeyA =
    "045005886d03db00635425d3a01e2b0166a65eb85dda70913cb96e2e67ae2c4cc1"
    "10b14e63f7e1b250b9a93df56a7f8296f8f2806656ad04e5c524a38db3591f8e";
inline const std::string kKeyB =
    "042f85655bb58be3add05008fa879d2c891cd5d0d9f3107583e1fee4a359c5ef9f"
    "0a91402b730ac4e9a90a0d64a28032f3e26ba4e9b8b78151adb4e8c1f497f20b";

// r || s in hex: key A over the part, allnew and large manifests; key B over
// the part manifest.
inline const std::string kPartByA =
    "50bc2d91f1e964449e171c3360d97350a0129cb26728d5199ef47bbfcdb1de3e"
    "0bc08b961a4991d00f39f0ab4cd47a56a85d335e8a062018cd16f082e849d1a8";
inline const std::string kAllnewByA =
    "5debd2a0894754f760f1888d2a91416a7fef68a618e6c24f92130a3ff7272aee"
    "ea2743c1d75249650aba1b4dbb27c3cede484d8400b0672e9c6d8517a5d7fa31";
inline const std::string kLargeByA =
    "e4a09199c2857a6bba92fc79fff0304a0d7f465c6bc755406b8b30060e08da1c"
    "6dbecaaf2e415b53c0f3f0976206f15f2371bf8ec4f925a7ee6745acc279d467";
inline const std::string kPartByB =
    "143fd5e7deeeaf5a080c22b477e32463c3ff55e0de05b9cf7c85454565a59279"
    "a9fa55a752b848958874290d806caaa063649aeceb2d71da7548cfccc97b9d2c";

// The current form (serial and expiry signed with the manifest's SHA-256), by
// key C: the part manifest with serials 7 and 6, the allnew manifest with
// serial 8, all expiring at kExpiryC (2030-01-01T00:00:00Z).
inline const std::string kKeyC =
    "0464f3033cbc9fe3acd343b87a635d1322bbfbac5436cc97467496231c3c818276"
    "a22d577d58ff0a64169ae7a4089e38815331d0b94db17544b880a1f438e65a45";
inline constexpr unsigned long long kExpiryC = 1893456000ull;
inline const std::string kPartSerial7ByC =
    "5550445349470002000000000000000700000000" "70dbd880"
    "c8901074b4010467067d2b2935a10ec63ed17289cd9a46758c1a470945a2e53a"
    "57a2c653f773a1943d68eee1e735e79392b71cdf5b6a6fc8e71cdbe54788edb8";
inline const std::string kPartSerial6ByC =
    "5550445349470002000000000000000600000000" "70dbd880"
    "1347a80ab63c765559c19c30b2be9ebfbb36d9816a7aa46397226b520516cfc4"
    "cfe23de160ae71bfe68ec4066f1f32d5773ef9b403079a6874e3c6186a38b4b4";
inline const std::string kAllnewSerial8ByC =
    "5550445349470002000000000000000800000000" "70dbd880"
    "c8b173307d67025b15babf13986e49fe56f137ffb04a2bd1421c59949da0aef3"
    "0a920a7f8806bcb162ce102dfd7c1a988ccd77248fbfde9c8f15c9bed80f6d41";

inline std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

}  // namespace vectors
