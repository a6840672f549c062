#pragma once
#include <string>

// The built-in base URL ("<server>/Velmora/Qyr/Test/"), fixed at build time.
std::wstring DefaultBaseUrl();

// In-process tests point the dialog at their own loopback server. Nothing in
// the program calls this.
void SetDefaultBaseUrlForTesting(const std::wstring& url);
