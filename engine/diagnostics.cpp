#include "engine/diagnostics.h"

#include <atomic>

namespace {
std::atomic<DiagnosticHook> g_hook{nullptr};
}

void ReportDiagnostic(const char* word, const std::wstring& context) {
  if (const DiagnosticHook hook = g_hook.load()) hook(word, context);
}

DiagnosticHook SetDiagnosticHook(DiagnosticHook hook) { return g_hook.exchange(hook); }
