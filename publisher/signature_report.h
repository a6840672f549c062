#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What an updater built with a key makes of a manifest and its signature
// file, for lint and check-server: facts to show, problems (every updater with
// the key, or some of them, refuses the manifest) and warnings.
struct SignatureReport {
  std::vector<std::string> facts;
  std::vector<std::string> problems;
  std::vector<std::string> warnings;
};

// now: seconds since 1970. Needs OpenSSL (the Linux build).
SignatureReport ReportSignature(const std::string& publicKeyHex, std::string_view manifest,
                                std::string_view signatureFile, std::uint64_t now);
