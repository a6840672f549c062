#include "publisher/signature_report.h"

#include <optional>

#include "check/signature_form.h"
#include "publisher/signing.h"

namespace {
constexpr char kRefused[] = "updaters with this key refuse the manifest";
}  // namespace

SignatureReport ReportSignature(const std::string& publicKeyHex, std::string_view manifest,
                                std::string_view signatureFile, std::uint64_t now) {
  SignatureReport report;
  SignatureFormError error = SignatureFormError::kNone;
  const std::optional<SignatureFile> signature = ReadSignatureFile(signatureFile, &error);
  if (!signature) {
    report.problems.push_back(std::to_string(signatureFile.size()) + " bytes, " + SignatureFormErrorText(error) +
                              "; " + kRefused);
    return report;
  }
  const std::string message =
      signature->form == 2 ? SignedMessage(*signature, Sha256Of(manifest)) : std::string(manifest);
  if (!VerifyBytes(publicKeyHex, message, signature->rs)) {
    report.problems.push_back("does not verify (another key, or the manifest changed after signing); " +
                              std::string(kRefused));
    return report;
  }
  if (signature->form == 1) {
    report.facts.push_back("signature of the old form: no serial, no expiry");
    report.problems.push_back(
        "old form without serial or expiry: updaters with this key that have accepted a signature with a "
        "serial refuse it; sign again");
    return report;
  }
  report.facts.push_back("serial " + std::to_string(signature->serial) + ", expires " +
                         UtcTimeText(signature->expires));
  if (now > signature->expires) {
    report.problems.push_back("expired on " + UtcTimeText(signature->expires) + "; " + kRefused +
                              " (those whose clock runs up to a day behind still take it); sign again");
  } else if (signature->expires - now <= kExpirySoonSeconds) {
    const std::uint64_t hours = (signature->expires - now) / 3600;
    report.warnings.push_back("expires in " +
                              (hours >= 48 ? std::to_string(hours / 24) + " days" : std::to_string(hours) + " hours") +
                              " (" + UtcTimeText(signature->expires) +
                              "); after that updaters with this key refuse the manifest; sign again before");
  }
  return report;
}
