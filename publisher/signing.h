#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

// Signing keys and manifest signatures in the forms the updater reads (see
// engine/public_key.h): the public key as 130 hex digits of the point
// 04 || X || Y, a signature as r || s, 64 bytes, of ECDSA P-256 over the
// SHA-256 of the manifest's bytes. The private key file is PEM (PKCS #8).
// Needs OpenSSL, so only the Linux build has it; elsewhere every function
// throws ToolError saying so.

// Writes a new private key to keyFile, readable by its owner only, and
// returns the public key text. Refuses a file that exists. Throws ToolError.
std::string CreateSigningKey(const std::filesystem::path& keyFile);

// The public key text of a private key file. Throws ToolError for anything
// but a P-256 key.
std::string PublicKeyOfKeyFile(const std::filesystem::path& keyFile);

// The 64-byte signature of message. Throws ToolError.
std::string SignBytes(const std::filesystem::path& keyFile, std::string_view message);

// The 32-byte SHA-256 of bytes.
std::string Sha256Of(std::string_view bytes);

// The bytes of MANIFEST.sig in its current form (check/signature_form.h): the
// header with serial and expiry, then r || s over it and the manifest's
// SHA-256. Throws ToolError.
std::string SignManifest(const std::filesystem::path& keyFile, std::string_view manifest, std::uint64_t serial,
                         std::uint64_t expires);

// True when signature is valid for message under the public key text; false
// for a malformed key, a point off the curve or a signature of any other
// length.
bool VerifyBytes(const std::string& publicKeyHex, std::string_view message, std::string_view signature);
