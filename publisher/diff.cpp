#include "publisher/diff.h"

#include <map>

#include "engine/my_fun.h"
#include "manifest/manifest_reader.h"
#include "publisher/code_page.h"
#include "publisher/generate.h"
#include "publisher/system.h"
#include "publisher/text_mode.h"

namespace {

struct Side {
  std::wstring preparedText;
  std::map<std::wstring, std::uint64_t, OrdinalUtf16Less> sizes;  // folders only
  bool folder = false;
};

Side Load(const std::filesystem::path& path, unsigned codePage, std::FILE* progress,
          std::vector<std::string>& notes) {
  const CodePage converter(codePage);
  Side side;
  if (IsFolder(path)) {
    GenerateRequest request;
    request.releaseDir = path;
    request.codePage = codePage;
    request.progress = progress;
    const GeneratedManifest manifest = GenerateManifest(request, notes);
    // Through the bytes, so the names are those a client reads back.
    side.preparedText = PreparedTextOf(manifest.bytes, converter);
    for (const ManifestFile& file : manifest.files) side.sizes.emplace(file.name, file.size);
    side.folder = true;
  } else {
    side.preparedText = PreparedTextOf(ReadWholeFile(path), converter);
  }
  return side;
}

}  // namespace

std::vector<DiffEntry> DiffReleases(const std::filesystem::path& oldSide, const std::filesystem::path& newSide,
                                    unsigned codePage, std::FILE* progress, std::vector<std::string>& notes) {
  const Side before = Load(oldSide, codePage, progress, notes);
  const Side after = Load(newSide, codePage, progress, notes);
  std::vector<DiffEntry> entries;
  for (std::wstring& name : CMyFun::CompareManifests(after.preparedText, before.preparedText)) {
    DiffEntry entry{std::move(name), std::nullopt};
    if (after.folder) {
      const auto found = after.sizes.find(entry.name);
      if (found != after.sizes.end()) entry.size = found->second;
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}
