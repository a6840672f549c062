#pragma once
#include <string>

// Diagnostic words ("OpenUrlFail\n", "HttpQueryFail\n", ...) name the point
// where an operation failed. Nothing reaches the user: by default they are
// dropped. Tests install a hook to see them.
using DiagnosticHook = void (*)(const char* word, const std::wstring& context);

void ReportDiagnostic(const char* word, const std::wstring& context);
// Returns the previous hook; nullptr drops the words again.
DiagnosticHook SetDiagnosticHook(DiagnosticHook hook);
