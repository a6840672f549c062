#include "engine/public_key.h"

#include <gtest/gtest.h>

#include <cctype>

#include "support/signature_vectors.h"

namespace {

TEST(PublicKeyText, ParsesTheUncompressedPointAndPrintsItBack) {
  const std::optional<PublicKeyPoint> point = ParsePublicKey(vectors::kKeyA);
  ASSERT_TRUE(point);
  EXPECT_EQ(0x04, (*point)[0]);
  EXPECT_EQ(0x50, (*point)[1]);
  EXPECT_EQ(0x8e, (*point)[64]);
  EXPECT_EQ(vectors::kKeyA, PublicKeyText(*point));

  std::string upper = vectors::kKeyA;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_TRUE(ParsePublicKey(upper));
  EXPECT_EQ(*point, *ParsePublicKey(upper));
}

TEST(PublicKeyText, RefusesEverythingElse) {
  const std::string& key = vectors::kKeyA;
  const std::string refused[] = {
      "",
      key.substr(0, 128),                 // one byte short
      key + "00",                         // one byte long
      key.substr(0, 129),                 // odd length
      "02" + key.substr(2, 64),           // compressed form
      "03" + key.substr(2),               // wrong prefix, right length
      "x4" + key.substr(2),               // not hex
      key.substr(0, 60) + "g" + key.substr(61),
      " " + key.substr(1),
      key.substr(0, 129) + "\n",
  };
  for (const std::string& text : refused) EXPECT_FALSE(ParsePublicKey(text)) << text;
}

TEST(PublicKeyText, TestingOverrideWinsUntilReset) {
  const std::string builtIn = BuiltInPublicKey();
  SetPublicKeyForTesting(vectors::kKeyB);
  EXPECT_EQ(vectors::kKeyB, BuiltInPublicKey());
  SetPublicKeyForTesting("");
  EXPECT_EQ("", BuiltInPublicKey());
  SetPublicKeyForTesting(std::nullopt);
  EXPECT_EQ(builtIn, BuiltInPublicKey());
}

}  // namespace
