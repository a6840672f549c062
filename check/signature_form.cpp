#include "check/signature_form.h"

#include <cstdio>
#include <cstring>

#include "manifest/md5.h"

namespace {

constexpr char kSignatureMagic[] = "UPDSIG";
constexpr std::size_t kSignatureMagicBytes = 6;
constexpr char kStateMagic[] = "UPDSERL1";
constexpr std::size_t kStateMagicBytes = 8;
constexpr std::size_t kStateBytes = kStateMagicBytes + 8 + 16;

std::uint64_t BigEndian(std::string_view bytes) {
  std::uint64_t value = 0;
  for (char c : bytes) value = (value << 8) | static_cast<unsigned char>(c);
  return value;
}

void AppendBigEndian(std::string& out, std::uint64_t value, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
    out += static_cast<char>((value >> shift) & 0xff);
  }
}

// Days from 1970-01-01 to a civil date, and back (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

bool Digits(std::string_view text, std::size_t at, std::size_t count, unsigned& value) {
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return true;
}

std::string Md5Bytes(std::string_view bytes) {
  Md5 md5;
  md5.Update(bytes.data(), bytes.size());
  const Md5::Digest digest = md5.Final();
  return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

}  // namespace

std::optional<SignatureFile> ReadSignatureFile(std::string_view bytes, SignatureFormError* error) {
  SignatureFormError ignored;
  SignatureFormError& why = error ? *error : ignored;
  why = SignatureFormError::kNone;
  SignatureFile file;
  if (bytes.size() == kOldSignatureBytes) {
    file.form = 1;
    file.rs = std::string(bytes);
    return file;
  }
  if (bytes.size() != kNewSignatureBytes) {
    why = SignatureFormError::kLength;
    return std::nullopt;
  }
  if (bytes.substr(0, kSignatureMagicBytes) != std::string_view(kSignatureMagic, kSignatureMagicBytes)) {
    why = SignatureFormError::kMagic;
    return std::nullopt;
  }
  if (BigEndian(bytes.substr(6, 2)) != kSignatureFormVersion) {
    why = SignatureFormError::kVersion;
    return std::nullopt;
  }
  file.form = 2;
  file.serial = BigEndian(bytes.substr(8, 8));
  file.expires = BigEndian(bytes.substr(16, 8));
  if (file.expires > kLatestExpiry) {
    why = SignatureFormError::kExpiry;
    return std::nullopt;
  }
  file.header = std::string(bytes.substr(0, kSignedHeaderBytes));
  file.rs = std::string(bytes.substr(kSignedHeaderBytes));
  return file;
}

std::string SignatureFormErrorText(SignatureFormError error) {
  switch (error) {
    case SignatureFormError::kNone:
      return "readable";
    case SignatureFormError::kLength:
      return "neither 64 nor 88 bytes";
    case SignatureFormError::kMagic:
      return "88 bytes that do not start with UPDSIG";
    case SignatureFormError::kVersion:
      return "a form version this updater does not know";
    case SignatureFormError::kExpiry:
      return "an expiry past the year 9999";
  }
  return "unreadable";
}

std::string SignatureHeader(std::uint64_t serial, std::uint64_t expires) {
  std::string header(kSignatureMagic, kSignatureMagicBytes);
  AppendBigEndian(header, kSignatureFormVersion, 2);
  AppendBigEndian(header, serial, 8);
  AppendBigEndian(header, expires, 8);
  return header;
}

std::string SignedMessage(const SignatureFile& file, std::string_view manifestSha256) {
  if (file.form != 2) return std::string();
  return file.header + std::string(manifestSha256);
}

std::optional<std::uint64_t> ParseUtcTime(std::string_view text) {
  // 2026-01-31T12:00:00Z
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  unsigned year, month, day, hour, minute, second;
  if (!Digits(text, 0, 4, year) || !Digits(text, 5, 2, month) || !Digits(text, 8, 2, day) ||
      !Digits(text, 11, 2, hour) || !Digits(text, 14, 2, minute) || !Digits(text, 17, 2, second)) {
    return std::nullopt;
  }
  if (year < 1970 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  const std::int64_t days = DaysFromCivil(year, month, day);
  // A day past the month's end rolls into the next month: refuse it.
  std::int64_t y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  if (y != year || m != month || d != day) return std::nullopt;
  return static_cast<std::uint64_t>(days) * 86400 + hour * 3600u + minute * 60u + second;
}

std::string UtcTimeText(std::uint64_t seconds) {
  if (seconds > kLatestExpiry) seconds = kLatestExpiry;
  std::int64_t year;
  unsigned month, day;
  CivilFromDays(static_cast<std::int64_t>(seconds / 86400), year, month, day);
  const unsigned rest = static_cast<unsigned>(seconds % 86400);
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(year), month, day,
                rest / 3600, rest / 60 % 60, rest % 60);
  return text;
}

std::string AcceptedStateBytes(std::uint64_t serial) {
  std::string bytes(kStateMagic, kStateMagicBytes);
  AppendBigEndian(bytes, serial, 8);
  return bytes + Md5Bytes(bytes);
}

AcceptedState ReadAcceptedState(const std::optional<std::string>& bytes) {
  AcceptedState state;
  if (!bytes) return state;
  state.newFormAccepted = true;
  const std::string_view all(*bytes);
  if (all.size() != kStateBytes || all.substr(0, kStateMagicBytes) != std::string_view(kStateMagic) ||
      all.substr(16) != Md5Bytes(all.substr(0, 16))) {
    state.damaged = true;
    return state;
  }
  state.serial = BigEndian(all.substr(kStateMagicBytes, 8));
  return state;
}

Freshness FreshnessOf(const SignatureFile& signature, const AcceptedState& state, std::uint64_t now) {
  // Passing anything while the floor is unknown would let a rolled-back
  // release in and note its serial; the next check, once the note is let
  // go, weighs the signature as usual.
  if (state.held) return Freshness::kStateHeld;
  if (signature.form != 2) return state.newFormAccepted ? Freshness::kOldForm : Freshness::kFresh;
  if (now > signature.expires && now - signature.expires > kExpiryGraceSeconds) return Freshness::kExpired;
  if (signature.serial < state.serial) return Freshness::kRolledBack;
  return Freshness::kFresh;
}
