#include "engine/my_fun.h"
#include "manifest/manifest_reader.h"

// Lists every server entry that is missing locally or whose digest text
// differs, in the server table's order; local-only entries are ignored.
DownloadList CMyFun::CompareManifests(std::wstring serverText, std::wstring localText) {
  const ManifestTable server = ReadManifestTable(serverText);
  const ManifestTable local = ReadManifestTable(localText);
  DownloadList list;
  for (const auto& [name, digest] : server) {
    const auto found = local.find(name);
    if (found == local.end() || found->second != digest) list.push_back(name);
  }
  return list;
}
