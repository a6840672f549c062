#include "check/signature_form.h"

#include <gtest/gtest.h>

namespace {

std::string Rs() {
  std::string rs;
  for (int i = 0; i < 64; ++i) rs += static_cast<char>(0xa0 + i);
  return rs;
}

TEST(SignatureForm, HeaderBytesAreBigEndianAfterMagicAndVersion) {
  const std::string header = SignatureHeader(0x0102030405060708ull, 0x1122334455ull);
  ASSERT_EQ(kSignedHeaderBytes, header.size());
  EXPECT_EQ(std::string("UPDSIG\x00\x02", 8), header.substr(0, 8));
  EXPECT_EQ(std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8), header.substr(8, 8));
  EXPECT_EQ(std::string("\x00\x00\x00\x11\x22\x33\x44\x55", 8), header.substr(16, 8));

  const auto read = ReadSignatureFile(header + Rs());
  ASSERT_TRUE(read);
  EXPECT_EQ(2, read->form);
  EXPECT_EQ(0x0102030405060708ull, read->serial);
  EXPECT_EQ(0x1122334455ull, read->expires);
  EXPECT_EQ(Rs(), read->rs);
  const std::string digest(kSha256Bytes, '\x5a');
  EXPECT_EQ(header + digest, SignedMessage(*read, digest));
}

TEST(SignatureForm, OldFormIsSixtyFourBytesOfRs) {
  const auto read = ReadSignatureFile(Rs());
  ASSERT_TRUE(read);
  EXPECT_EQ(1, read->form);
  EXPECT_EQ(Rs(), read->rs);
  EXPECT_TRUE(SignedMessage(*read, std::string(kSha256Bytes, 'x')).empty());
}

TEST(SignatureForm, WrongLengthsVersionsAndFieldsAreRefused) {
  const std::string good = SignatureHeader(7, 1700000000) + Rs();
  struct Case {
    const char* what;
    std::string bytes;
    SignatureFormError error;
  };
  std::string version1 = good;
  version1[7] = 1;
  std::string version3 = good;
  version3[7] = 3;
  std::string versionHigh = good;
  versionHigh[6] = 1;  // 0x0102: the high byte counts
  std::string magic = good;
  magic[0] = 'u';
  const std::string tooLate = SignatureHeader(7, kLatestExpiry + 1) + Rs();
  const Case cases[] = {
      {"empty", "", SignatureFormError::kLength},
      {"one byte short of the old form", Rs().substr(1), SignatureFormError::kLength},
      {"one byte past the old form", Rs() + "x", SignatureFormError::kLength},
      {"one byte short of the new form", good.substr(0, good.size() - 1), SignatureFormError::kLength},
      {"one byte past the new form", good + '\0', SignatureFormError::kLength},
      {"header only", good.substr(0, kSignedHeaderBytes), SignatureFormError::kLength},
      {"version 1 in the new form", version1, SignatureFormError::kVersion},
      {"version 3", version3, SignatureFormError::kVersion},
      {"version 0x0102", versionHigh, SignatureFormError::kVersion},
      {"magic", magic, SignatureFormError::kMagic},
      {"expiry past 9999", tooLate, SignatureFormError::kExpiry},
  };
  for (const Case& c : cases) {
    SignatureFormError error = SignatureFormError::kNone;
    EXPECT_FALSE(ReadSignatureFile(c.bytes, &error)) << c.what;
    EXPECT_EQ(c.error, error) << c.what;
  }
  EXPECT_TRUE(ReadSignatureFile(SignatureHeader(UINT64_MAX, kLatestExpiry) + Rs()));
}

TEST(SignatureForm, UtcTimesRoundTripAndImpossibleDatesAreRefused) {
  EXPECT_EQ(0u, ParseUtcTime("1970-01-01T00:00:00Z"));
  EXPECT_EQ(951782400u, ParseUtcTime("2000-02-29T00:00:00Z"));
  EXPECT_EQ(1767225599u, ParseUtcTime("2025-12-31T23:59:59Z"));
  EXPECT_EQ(kLatestExpiry, ParseUtcTime("9999-12-31T23:59:59Z"));
  for (std::uint64_t t : {std::uint64_t{0}, std::uint64_t{951782400}, std::uint64_t{1709164800}, std::uint64_t{4102444800}, kLatestExpiry}) {
    EXPECT_EQ(t, ParseUtcTime(UtcTimeText(t))) << t;
  }
  EXPECT_EQ("2024-02-29T00:00:00Z", UtcTimeText(1709164800));
  for (const char* bad : {"2023-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2026-04-31T00:00:00Z",
                          "2026-13-01T00:00:00Z", "2026-00-10T00:00:00Z", "2026-01-00T00:00:00Z",
                          "2026-01-01T24:00:00Z", "2026-01-01T23:60:00Z", "2026-06-30T23:59:60Z",
                          "1969-12-31T23:59:59Z", "2026-01-01T00:00:00", "2026-01-01 00:00:00Z",
                          "2026-01-01T00:00:00+00:00", "2026-1-01T00:00:00Z", "+026-01-01T00:00:00Z", ""}) {
    EXPECT_FALSE(ParseUtcTime(bad)) << bad;
  }
}

TEST(AcceptedState, MissingIsNothingDamagedStillRequiresTheNewForm) {
  const AcceptedState none = ReadAcceptedState(std::nullopt);
  EXPECT_FALSE(none.newFormAccepted);
  EXPECT_FALSE(none.damaged);

  const std::string note = AcceptedStateBytes(0x0102030405060708ull);
  ASSERT_EQ(32u, note.size());
  const AcceptedState good = ReadAcceptedState(note);
  EXPECT_TRUE(good.newFormAccepted);
  EXPECT_FALSE(good.damaged);
  EXPECT_EQ(0x0102030405060708ull, good.serial);

  std::vector<std::string> damaged{"", note.substr(0, 31), note + "x"};
  for (std::size_t at : {0u, 8u, 15u, 16u, 31u}) {
    std::string flipped = note;
    flipped[at] ^= 0x01;
    damaged.push_back(flipped);
  }
  for (const std::string& bytes : damaged) {
    const AcceptedState state = ReadAcceptedState(bytes);
    EXPECT_TRUE(state.newFormAccepted) << bytes.size();
    EXPECT_TRUE(state.damaged) << bytes.size();
    EXPECT_EQ(0u, state.serial);
  }
}

TEST(Freshness, ExpiryGraceSerialFloorAndOldForm) {
  SignatureFile fresh;
  fresh.form = 2;
  fresh.serial = 10;
  fresh.expires = 1000000;
  const AcceptedState nothing;
  AcceptedState seen;
  seen.newFormAccepted = true;
  seen.serial = 10;

  EXPECT_EQ(Freshness::kFresh, FreshnessOf(fresh, nothing, 0));
  EXPECT_EQ(Freshness::kFresh, FreshnessOf(fresh, seen, 1000000)) << "the same serial again";
  EXPECT_EQ(Freshness::kFresh, FreshnessOf(fresh, seen, 1000000 + kExpiryGraceSeconds)) << "end of the grace";
  EXPECT_EQ(Freshness::kExpired, FreshnessOf(fresh, seen, 1000000 + kExpiryGraceSeconds + 1));
  EXPECT_EQ(Freshness::kExpired, FreshnessOf(fresh, nothing, UINT64_MAX)) << "expiry before the serial";

  seen.serial = 11;
  EXPECT_EQ(Freshness::kRolledBack, FreshnessOf(fresh, seen, 0));
  seen.serial = UINT64_MAX;
  EXPECT_EQ(Freshness::kRolledBack, FreshnessOf(fresh, seen, 0));

  SignatureFile old;
  EXPECT_EQ(Freshness::kFresh, FreshnessOf(old, nothing, UINT64_MAX)) << "never saw the new form";
  AcceptedState damaged = ReadAcceptedState(std::string("x"));
  EXPECT_EQ(Freshness::kOldForm, FreshnessOf(old, damaged, 0));
  EXPECT_EQ(Freshness::kFresh, FreshnessOf(fresh, damaged, 0)) << "a damaged note sets no floor";

  // A held note is no damaged one: nothing passes while it cannot be read,
  // not even a serial above any floor or the old form in a new installation.
  AcceptedState held;
  held.held = true;
  SignatureFile higher = fresh;
  higher.serial = UINT64_MAX;
  for (const SignatureFile* signature : {&fresh, &higher, &old}) {
    EXPECT_EQ(Freshness::kStateHeld, FreshnessOf(*signature, held, 0)) << signature->form;
  }
}

}  // namespace
