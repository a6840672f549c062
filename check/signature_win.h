#pragma once
#include <string>

class InternetHandle;
class StopSignal;

// True when signature is r || s of a valid ECDSA P-256 signature, by the key
// given as text (see engine/public_key.h), over the SHA-256 of the file's
// bytes. A malformed key, a signature of any other length or an unreadable
// file is false.
bool VerifyFileSignature(const std::string& publicKeyHex, const std::wstring& path,
                         const std::string& signature);

// With no key built in, true at once and nothing is requested. Otherwise
// fetches manifestUrl + ".sig" on root with the shared conventions and checks
// it against the stored copy; false, with a diagnostic word reported for
// folder, when it is absent or does not verify.
bool ManifestSignatureHolds(const InternetHandle& root, const std::wstring& manifestUrl,
                            const std::wstring& copy, const std::wstring& folder, StopSignal* stop);
