#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class CodePage;

struct LintProblem {
  std::size_t line;     // 1-based line of the file
  std::string message;  // UTF-8
};

// Everything in a manifest file that makes the updater read something other
// than what its author meant, in line order. Reads the bytes exactly as the
// updater does; an empty result means clients see what the lines say.
std::vector<LintProblem> LintManifest(std::string_view file, const CodePage& codePage);
