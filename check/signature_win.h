#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "check/signature_form.h"

class InternetHandle;
class StopSignal;

// True when signature is a valid ECDSA P-256 signature, by the key given as
// text (see engine/public_key.h), over the file's bytes in its form (see
// check/signature_form.h): form 1 over the file's SHA-256, form 2 over its
// header and that SHA-256. A malformed key or signature file, or an
// unreadable file, is false. Freshness is not weighed here.
bool VerifyFileSignature(const std::string& publicKeyHex, const std::wstring& path,
                         const SignatureFile& signature);
bool VerifyFileSignature(const std::string& publicKeyHex, const std::wstring& path,
                         const std::string& signature);

// The system clock as seconds since 1970 (UTC); tests may fix it, std::nullopt
// returns to the real clock.
std::uint64_t SecondsSince1970();
void SetClockForTesting(std::optional<std::uint64_t> secondsSince1970);

// With no key built in, true at once and nothing is requested. Otherwise
// fetches manifestUrl + ".sig" on root with the shared conventions and checks
// it against the stored copy; false, with a diagnostic word reported for
// folder, when it is absent or does not verify, when it is expired, of a
// lower serial than the installation accepted before, or of form 1 after
// one of form 2. A form-2 signature that passes and raises the highest
// serial is noted in folder's LocalSerial.dat (atomically) before true; a
// note that cannot be written is reported but does not fail the check.
bool ManifestSignatureHolds(const InternetHandle& root, const std::wstring& manifestUrl,
                            const std::wstring& copy, const std::wstring& folder, StopSignal* stop);
