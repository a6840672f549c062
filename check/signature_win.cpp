#include "check/signature_win.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "check/http_win.h"
#include "check/signature_form.h"
#include "engine/diagnostics.h"
#include "engine/handles_win.h"
#include "engine/public_key.h"
#include "engine/separators.h"
#include "engine/stop_signal.h"
#include "manifest/file_reader_win.h"
#include "manifest/read_through.h"

namespace {

constexpr ULONG kDigestBytes = 32;
constexpr ULONG kCoordinateBytes = 32;

// Feeds whatever produce hands it into a SHA-256; false when CNG or produce fails.
template <class Produce>
bool Sha256(Produce produce, unsigned char (&digest)[kDigestBytes]) {
  BCRYPT_ALG_HANDLE rawAlg = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&rawAlg, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    return false;
  }
  const UniqueBcryptAlg alg(rawAlg);
  BCRYPT_HASH_HANDLE rawHash = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptCreateHash(alg.get(), &rawHash, nullptr, 0, nullptr, 0, 0))) return false;
  const UniqueBcryptHash hash(rawHash);
  bool hashed = true;
  const auto feed = [&](const char* data, std::size_t count) {
    hashed = hashed && BCRYPT_SUCCESS(::BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(data)),
                                                       static_cast<ULONG>(count), 0));
  };
  return produce(feed) && hashed && BCRYPT_SUCCESS(::BCryptFinishHash(hash.get(), digest, kDigestBytes, 0));
}

bool Sha256OfFile(const std::wstring& path, unsigned char (&digest)[kDigestBytes]) {
  FileReader file(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (!file.IsOpen()) return false;
  std::vector<char> buffer;
  return Sha256([&](const auto& feed) { return ReadThrough(file, feed, buffer); }, digest);
}

bool Sha256OfBytes(const std::string& bytes, unsigned char (&digest)[kDigestBytes]) {
  return Sha256(
      [&](const auto& feed) {
        feed(bytes.data(), bytes.size());
        return true;
      },
      digest);
}

UniqueBcryptKey ImportPublicKey(const BCRYPT_ALG_HANDLE alg, const PublicKeyPoint& point) {
  // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y without the 04 prefix.
  std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinateBytes);
  BCRYPT_ECCKEY_BLOB header{};
  header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = kCoordinateBytes;
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, point.data() + 1, 2 * kCoordinateBytes);
  BCRYPT_KEY_HANDLE key = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptImportKeyPair(alg, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                            static_cast<ULONG>(blob.size()), 0))) {
    return UniqueBcryptKey();
  }
  return UniqueBcryptKey(key);
}

// The signature file, exactly as served: only a 200 answer counts, and a
// body longer than a signature is not read to its end.
bool FetchSignature(const InternetHandle& root, const std::wstring& url, std::string& signature,
                    bool& opened, StopSignal* stop) {
  const UrlRequest request = OpenUrlHandle(root, url, kAcceptAllHeader, stop);
  opened = static_cast<bool>(request);
  if (!request) return false;
  DWORD status = 0;
  if (!QueryStatusCode(request, status) || status != 200) return false;
  const BodyResult body = ReadBody(
      request,
      [&](const char* data, DWORD count) {
        signature.append(data, count);
        return signature.size() <= kNewSignatureBytes;
      },
      stop);
  std::uint64_t announced = 0;
  const bool cutShort = QueryContentLength(request, announced) && signature.size() < announced;
  return body == BodyResult::kComplete && !cutShort;
}

std::optional<std::uint64_t>& ClockOverride() {
  static std::optional<std::uint64_t> now;
  return now;
}

// A backup or sync tool that holds the note open without read sharing (or
// with a byte-range lock) lets go within moments: tried again for about a
// second before the check gives up on it.
constexpr int kHeldNoteTries = 5;
constexpr DWORD kHeldNotePauseMs = 250;

bool IsHeldError(DWORD error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION; }

struct NoteRead {
  std::optional<std::string> bytes;  // nothing: no note
  bool held = false;                 // another program holds it: bytes say nothing
};

// One try at the note. A note that exists but cannot be read for any reason
// other than being held counts as damaged.
NoteRead ReadNoteOnce(const std::wstring& path) {
  constexpr long long kLargestNote = 4096;
  NoteRead note;
  FileReader file(path, FILE_SHARE_READ);
  if (!file.IsOpen()) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return note;
    note.bytes.emplace();
    note.held = IsHeldError(error);
    return note;
  }
  note.bytes.emplace();
  long long size = 0;
  if (!file.Size(size) || size > kLargestNote) return note;
  file.StopAfter(size);
  std::vector<char> buffer;
  std::string& bytes = *note.bytes;
  if (!ReadThrough(file, [&bytes](const char* data, std::size_t count) { bytes.append(data, count); }, buffer)) {
    note.held = IsHeldError(::GetLastError());
  }
  return note;
}

// What this installation accepted, from the note of the highest serial.
AcceptedState ReadAcceptedNote(const std::wstring& path, StopSignal* stop) {
  for (int attempt = 1;; ++attempt) {
    const NoteRead note = ReadNoteOnce(path);
    if (!note.held) return ReadAcceptedState(note.bytes);
    if (attempt == kHeldNoteTries || StopRequested(stop)) {
      AcceptedState held;
      held.held = true;
      return held;
    }
    ::Sleep(kHeldNotePauseMs);
  }
}

// Temporary name, flushed, then renamed over the old note: a power cut leaves
// the old note or the new one, never part of one.
bool WriteAcceptedNote(const std::wstring& folder, std::uint64_t serial) {
  const std::string bytes = AcceptedStateBytes(serial);
  const std::wstring temporary = ExtendedLengthPath(folder + kAcceptedStateTempName);
  bool written = false;
  {
    UniqueFile file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD put = 0;
    written = ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
              put == bytes.size() && ::FlushFileBuffers(file.get());
  }
  if (!written || !::MoveFileExW(temporary.c_str(), ExtendedLengthPath(folder + kAcceptedStateName).c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ::DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

const char* RefusalWord(Freshness freshness) {
  switch (freshness) {
    case Freshness::kExpired:
      return "SignatureExpired\n";
    case Freshness::kRolledBack:
      return "SerialRolledBack\n";
    case Freshness::kOldForm:
      return "SignatureOldForm\n";
    case Freshness::kStateHeld:
      return "StateHeld\n";
    case Freshness::kFresh:
      break;
  }
  return "SignatureFail\n";
}

}  // namespace

std::uint64_t SecondsSince1970() {
  if (ClockOverride()) return *ClockOverride();
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr std::uint64_t kTicksTo1970 = 116444736000000000ull;
  return ticks < kTicksTo1970 ? 0 : (ticks - kTicksTo1970) / 10000000ull;
}

void SetClockForTesting(std::optional<std::uint64_t> secondsSince1970) { ClockOverride() = secondsSince1970; }

bool VerifyFileSignature(const std::string& publicKeyHex, const std::wstring& path, const SignatureFile& signature) {
  const std::optional<PublicKeyPoint> point = ParsePublicKey(publicKeyHex);
  if (!point || signature.rs.size() != kSignatureBytes) return false;
  unsigned char digest[kDigestBytes];
  if (!Sha256OfFile(path, digest)) return false;
  if (signature.form == 2) {
    const std::string message =
        SignedMessage(signature, std::string_view(reinterpret_cast<const char*>(digest), kDigestBytes));
    if (!Sha256OfBytes(message, digest)) return false;
  }
  BCRYPT_ALG_HANDLE rawAlg = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&rawAlg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
    return false;
  }
  const UniqueBcryptAlg alg(rawAlg);
  const UniqueBcryptKey key = ImportPublicKey(alg.get(), *point);
  if (!key) return false;
  std::string copy = signature.rs;  // the API takes a non-const buffer
  return BCRYPT_SUCCESS(::BCryptVerifySignature(key.get(), nullptr, digest, kDigestBytes,
                                                reinterpret_cast<PUCHAR>(copy.data()), kSignatureBytes, 0));
}

bool VerifyFileSignature(const std::string& publicKeyHex, const std::wstring& path, const std::string& signature) {
  const std::optional<SignatureFile> file = ReadSignatureFile(signature);
  return file && VerifyFileSignature(publicKeyHex, path, *file);
}

bool ManifestSignatureHolds(const InternetHandle& root, const std::wstring& manifestUrl,
                            const std::wstring& copy, const std::wstring& folder, StopSignal* stop) {
  const std::string key = BuiltInPublicKey();
  if (key.empty()) return true;
  std::string bytes;
  bool opened = false;
  if (!FetchSignature(root, manifestUrl + L".sig", bytes, opened, stop)) {
    ReportDiagnostic(opened ? "SignatureFail\n" : "OpenUrlFail\n", folder);
    return false;
  }
  const std::optional<SignatureFile> signature = ReadSignatureFile(bytes);
  if (!signature || !VerifyFileSignature(key, copy, *signature)) {
    ReportDiagnostic("SignatureFail\n", folder);
    return false;
  }
  // Only a signature that holds is weighed against what this installation
  // accepted before; only one that is also fresh raises the floor.
  const AcceptedState state = ReadAcceptedNote(folder + kAcceptedStateName, stop);
  const Freshness freshness = FreshnessOf(*signature, state, SecondsSince1970());
  if (freshness != Freshness::kFresh) {
    ReportDiagnostic(RefusalWord(freshness), folder);
    return false;
  }
  const bool raise = signature->form == 2 &&
                     (!state.newFormAccepted || state.damaged || signature->serial > state.serial);
  // A note that cannot be written (a read-only file, a full disk) must not
  // stop updates for good: this signature holds and is fresh, so the check
  // goes on, and the floor stays where it was until a later check can write.
  if (raise && !WriteAcceptedNote(folder, signature->serial)) ReportDiagnostic("StateWriteFail\n", folder);
  return true;
}
