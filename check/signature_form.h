#pragma once
// UpDate.ini.sig in the two forms an updater with a key reads, the bytes the
// publisher's key signs, the note of the highest serial an installation has
// accepted, and the rules that keep an old signed manifest from being served
// again (a rollback) or for ever (a freeze).
//
// Form 1, 64 bytes: r || s over the SHA-256 of the manifest's bytes.
// Form 2, 88 bytes, numbers big-endian:
//    0   6  "UPDSIG"
//    6   2  form version, 2
//    8   8  serial, higher for every release
//   16   8  expiry, seconds since 1970-01-01T00:00:00Z
//   24  64  r || s over the SHA-256 of the signed message
// The signed message is bytes 0-23 followed by the 32-byte SHA-256 of the
// manifest's bytes, so the serial and the expiry cannot be changed apart from
// the manifest, and no form-1 signature (over a manifest's own bytes) can
// pass for one of form 2 unless a manifest began with these 24 bytes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::size_t kOldSignatureBytes = 64;
inline constexpr std::size_t kSignedHeaderBytes = 24;
inline constexpr std::size_t kNewSignatureBytes = kSignedHeaderBytes + kOldSignatureBytes;
inline constexpr std::size_t kSha256Bytes = 32;
inline constexpr std::uint16_t kSignatureFormVersion = 2;
// 9999-12-31T23:59:59Z: every expiry is a date the tools can write.
inline constexpr std::uint64_t kLatestExpiry = 253402300799ull;

// A clock that runs behind accepts an expired signature longer, which nobody
// can prevent; one that runs ahead by hours (a wrong time zone, a dead
// battery after a day) would refuse a signature that is still good. A day's
// grace past the expiry covers every time-zone mistake; a publisher who
// re-signs a week or more before the expiry (lint warns two weeks ahead) never
// relies on it.
inline constexpr std::uint64_t kExpiryGraceSeconds = 24 * 60 * 60;
inline constexpr std::uint64_t kExpirySoonSeconds = 14 * 24 * 60 * 60;

enum class SignatureFormError { kNone, kLength, kMagic, kVersion, kExpiry };

struct SignatureFile {
  int form = 1;               // 1 or 2
  std::uint64_t serial = 0;   // form 2 only
  std::uint64_t expires = 0;  // form 2 only
  std::string header;         // bytes 0-23 of form 2; empty for form 1
  std::string rs;             // the 64 bytes r || s
};

// Strict: exactly 64 bytes, or exactly 88 with the magic, version 2 and an
// expiry no later than kLatestExpiry. Anything else is nothing, with the
// reason in error when asked.
std::optional<SignatureFile> ReadSignatureFile(std::string_view bytes, SignatureFormError* error = nullptr);
std::string SignatureFormErrorText(SignatureFormError error);

// Bytes 0-23 of a form-2 file.
std::string SignatureHeader(std::uint64_t serial, std::uint64_t expires);

// What the signature's r || s signs (with SHA-256): for form 1 nothing but the
// manifest's own bytes, which the caller hashes itself, so empty; for form 2
// the header followed by the manifest's SHA-256.
std::string SignedMessage(const SignatureFile& file, std::string_view manifestSha256);

// "YYYY-MM-DDTHH:MM:SSZ" for years 1970 to 9999; nothing for any other text
// or an impossible date (2023-02-29, 24:00:00, a leap second).
std::optional<std::uint64_t> ParseUtcTime(std::string_view text);
std::string UtcTimeText(std::uint64_t secondsSince1970);

// What an installation has accepted: nothing yet, or a form-2 signature with
// the highest serial noted. A damaged note still says a form-2 signature was
// accepted (the note is written for nothing else) but not which serial.
// A note another program holds open (a backup or sync tool) is held, not
// damaged: it cannot be read now, so it tells nothing of what was accepted,
// and no signature is weighed against it until it is let go.
struct AcceptedState {
  bool newFormAccepted = false;
  std::uint64_t serial = 0;
  bool damaged = false;
  bool held = false;
};

// The note's name in the installation folder, and the name it is written
// under before it is renamed into place.
inline constexpr wchar_t kAcceptedStateName[] = L"LocalSerial.dat";
inline constexpr wchar_t kAcceptedStateTempName[] = L"LocalSerial.dat.tmp";

// The note: "UPDSERL1", the serial (8 bytes, big-endian), then the MD5 of
// those 16 bytes; 32 bytes in all.
std::string AcceptedStateBytes(std::uint64_t serial);
// Nothing (no file) is nothing accepted; bytes that are not a note are a
// damaged one.
AcceptedState ReadAcceptedState(const std::optional<std::string>& bytes);

enum class Freshness {
  kFresh,       // accept, and note the serial when it is of form 2
  kExpired,     // past its expiry and the grace
  kRolledBack,  // a serial below the highest accepted
  kOldForm,     // form 1 after a form-2 signature was accepted
  kStateHeld,   // the note is held: the floor cannot be read, so nothing passes
};
Freshness FreshnessOf(const SignatureFile& signature, const AcceptedState& state, std::uint64_t now);
