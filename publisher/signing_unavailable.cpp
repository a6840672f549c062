#include "publisher/signing.h"
#include "publisher/tool_error.h"

namespace {
[[noreturn]] void Unavailable() {
  throw ToolError("keys and signatures need the Linux build of updater-manifest (it uses OpenSSL)");
}
}  // namespace

std::string CreateSigningKey(const std::filesystem::path&) { Unavailable(); }
std::string PublicKeyOfKeyFile(const std::filesystem::path&) { Unavailable(); }
std::string SignBytes(const std::filesystem::path&, std::string_view) { Unavailable(); }
bool VerifyBytes(const std::string&, std::string_view, std::string_view) { Unavailable(); }
std::string Sha256Of(std::string_view) { Unavailable(); }
std::string SignManifest(const std::filesystem::path&, std::string_view, std::uint64_t, std::uint64_t) {
  Unavailable();
}
