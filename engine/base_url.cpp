#include "engine/base_url.h"

#include "build_config.h"

namespace {
std::wstring& Override() {
  static std::wstring url;
  return url;
}
}  // namespace

std::wstring DefaultBaseUrl() {
  return Override().empty() ? std::wstring(UPDATER_DEFAULT_BASE_URL) : Override();
}

void SetDefaultBaseUrlForTesting(const std::wstring& url) { Override() = url; }
