#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "publisher/system.h"
#include "publisher/text.h"
#include "publisher/tool_error.h"

namespace fs = std::filesystem;

namespace {

std::wstring NameOf(const fs::path& relative) {
  std::wstring name;
  for (const fs::path& component : relative) {
    std::wstring part;
    if (!Utf8ToWide(component.native(), part)) {
      throw ToolError("file name is not valid UTF-8: " + DisplayPath(relative));
    }
    if (part.find(L'\\') != std::wstring::npos) {
      throw ToolError("file name holds a backslash, which Windows reads as a folder separator: " +
                      DisplayPath(relative));
    }
    if (!name.empty()) name += L'\\';
    name += part;
  }
  return name;
}

}  // namespace

std::vector<ReleaseFile> ListReleaseFiles(const fs::path& root, std::vector<std::string>& notes) {
  if (!IsFolder(root)) throw ToolError("release folder not found: " + DisplayPath(root));
  std::vector<ReleaseFile> files;
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    const fs::path relative = entry.path().lexically_relative(root);
    std::error_code statusError;
    if (entry.is_symlink(statusError)) {
      const fs::file_status target = fs::status(entry.path(), statusError);
      if (fs::is_directory(target)) {
        notes.push_back("linked folder not entered: " + DisplayPath(relative));
        continue;
      }
      if (!fs::is_regular_file(target)) {
        notes.push_back("link to no regular file left out: " + DisplayPath(relative));
        continue;
      }
    } else if (entry.is_directory(statusError)) {
      continue;
    } else if (!entry.is_regular_file(statusError)) {
      notes.push_back("not a regular file, left out: " + DisplayPath(relative));
      continue;
    }
    const std::uintmax_t size = fs::file_size(entry.path(), statusError);
    if (statusError) throw ToolError("cannot read " + DisplayPath(entry.path()) + ": " + statusError.message());
    files.push_back({NameOf(relative), entry.path(), static_cast<std::uint64_t>(size)});
  }
  if (ec) {
    const fs::path where = it == end ? root : it->path();
    throw ToolError("cannot list folder " + DisplayPath(where) + ": " + ec.message());
  }
  return files;
}

std::optional<std::wstring> NameInsideRelease(const fs::path& root, const fs::path& file) {
  std::error_code ec;
  const fs::path base = fs::weakly_canonical(fs::absolute(root), ec);
  if (ec) return std::nullopt;
  const fs::path full = fs::weakly_canonical(fs::absolute(file), ec);
  if (ec) return std::nullopt;
  auto b = base.begin(), f = full.begin();
  for (; b != base.end(); ++b, ++f) {
    if (b->empty()) continue;  // the empty last element of a path ending in "/"
    if (f == full.end() || *b != *f) return std::nullopt;
  }
  fs::path relative;
  for (; f != full.end(); ++f) relative /= *f;
  if (relative.empty()) return std::nullopt;
  try {
    return NameOf(relative);
  } catch (const ToolError&) {
    return std::nullopt;
  }
}

bool SameNameOnDisk(const std::wstring& a, const std::wstring& b) { return a == b; }

bool IsFolder(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

std::FILE* OpenForReading(const fs::path& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  // Reads go straight into the caller's large buffer.
  if (file) std::setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

std::FILE* OpenForWriting(const fs::path& path) { return std::fopen(path.c_str(), "wb"); }

std::optional<std::string> MoveReplacing(const fs::path& from, const fs::path& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) return std::string(std::strerror(errno));
  return std::nullopt;
}

void RemoveFile(const fs::path& path) { std::remove(path.c_str()); }

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

fs::path PathFromArgument(const std::string& argument) { return fs::path(argument); }

std::string DisplayPath(const fs::path& path) { return path.string(); }

void PrepareStandardStreams() {}
