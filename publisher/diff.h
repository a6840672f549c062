#pragma once
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct DiffEntry {
  std::wstring name;                  // as the new manifest spells it
  std::optional<std::uint64_t> size;  // known when the new side is a folder
};

// The files a client holding the old release downloads to reach the new one,
// in the updater's order: exactly CMyFun::CompareManifests(new, old). Each
// side is a manifest file, read as the updater reads one, or a release
// folder, read as its generated manifest would be. Throws ToolError.
std::vector<DiffEntry> DiffReleases(const std::filesystem::path& oldSide, const std::filesystem::path& newSide,
                                    unsigned codePage, std::FILE* progress, std::vector<std::string>& notes);
