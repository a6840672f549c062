#pragma once
#include <stdexcept>
#include <string>

// A failure that ends the command with a message on stderr and exit status 2
// (cannot read, cannot write, a name that cannot be published).
class ToolError : public std::runtime_error {
 public:
  explicit ToolError(const std::string& message) : std::runtime_error(message) {}
};
