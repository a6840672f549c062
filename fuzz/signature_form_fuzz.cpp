// UpDate.ini.sig and LocalSerial.dat as a server or a damaged disk may hand
// them over: whatever the bytes, the reader takes exactly the two forms and
// gives back what they spell out; the note is read back only when intact; a
// time text is taken only when it is the one the tools would write.
#include <string>
#include <string_view>

#include "check/signature_form.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  SignatureFormError error = SignatureFormError::kNone;
  const std::optional<SignatureFile> file = ReadSignatureFile(bytes, &error);
  FUZZ_CHECK(file.has_value() == (error == SignatureFormError::kNone));
  if (file) {
    FUZZ_CHECK(file->rs.size() == kOldSignatureBytes);
    if (file->form == 1) {
      FUZZ_CHECK(size == kOldSignatureBytes && file->rs == bytes && file->header.empty());
    } else {
      FUZZ_CHECK(file->form == 2 && size == kNewSignatureBytes);
      FUZZ_CHECK(file->expires <= kLatestExpiry);
      FUZZ_CHECK(SignatureHeader(file->serial, file->expires) + file->rs == bytes);
      const std::string digest(kSha256Bytes, '\x01');
      FUZZ_CHECK(SignedMessage(*file, digest) == bytes.substr(0, kSignedHeaderBytes) + digest);
    }
    // The rules never let a form-1 signature through once form 2 was taken,
    // nor a serial below the floor, whatever the clock.
    AcceptedState seen;
    seen.newFormAccepted = true;
    seen.serial = file->serial + 1;
    const Freshness verdict = FreshnessOf(*file, seen, size);
    FUZZ_CHECK(verdict != Freshness::kFresh || (file->form == 2 && file->serial == UINT64_MAX));
  } else {
    FUZZ_CHECK(size != kOldSignatureBytes);
  }

  const AcceptedState state = ReadAcceptedState(bytes);
  FUZZ_CHECK(state.newFormAccepted);
  if (!state.damaged) FUZZ_CHECK(AcceptedStateBytes(state.serial) == bytes);
  if (state.damaged) FUZZ_CHECK(state.serial == 0);

  const std::optional<std::uint64_t> time = ParseUtcTime(bytes);
  if (time) {
    FUZZ_CHECK(*time <= kLatestExpiry);
    FUZZ_CHECK(UtcTimeText(*time) == bytes);
  }
  return 0;
}
