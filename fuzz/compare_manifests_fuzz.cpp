// Server manifest against local manifest: the download list must be exactly
// the server's names that are missing or differ locally, each once, in order.
#include <iterator>

#include "engine/my_fun.h"
#include "fuzz/fuzz_support.h"
#include "manifest/manifest_reader.h"

namespace {

void CheckList(const std::wstring& serverText, const std::wstring& localText) {
  const DownloadList list = CMyFun::CompareManifests(serverText, localText);
  const fuzz::ModelTable server = fuzz::ModelRead(serverText);
  const fuzz::ModelTable local = fuzz::ModelRead(localText);
  const OrdinalUtf16Less less;

  for (auto it = list.begin(); it != list.end(); ++it) {
    if (std::next(it) != list.end()) {
      FUZZ_CHECK(less(*it, *std::next(it)));
      FUZZ_CHECK(fuzz::Utf16Units(*it) < fuzz::Utf16Units(*std::next(it)));
    }
    FUZZ_CHECK(!IsExcludedManifestName(*it));
    FUZZ_CHECK(*it != L"MD5.exe" && *it != L"UpDate.ini");
    FUZZ_CHECK(server.count(*it) == 1);
  }

  // Listed iff missing locally or its digest differs: walk both in step.
  auto listed = list.begin();
  for (const auto& [name, digest] : server) {
    const auto found = local.find(name);
    const bool wanted = found == local.end() || found->second != digest;
    const bool isListed = listed != list.end() && *listed == name;
    FUZZ_CHECK(wanted == isListed);
    if (isListed) ++listed;
  }
  FUZZ_CHECK(listed == list.end());
}

}  // namespace

// The input is the server text, U+0000, the local text (UTF-16LE). U+0000 can
// never be inside a real manifest text: the updater's conversion stops there.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::wstring whole = fuzz::WideFromUtf16Le(data, size);
  const std::size_t split = whole.find(L'\0');
  const std::wstring serverRaw = whole.substr(0, split);
  const std::wstring localRaw = split == std::wstring::npos ? std::wstring() : whole.substr(split + 1);

  // As the updater calls it: both texts prepared.
  const std::wstring server = PrepareManifestText(serverRaw);
  const std::wstring local = PrepareManifestText(localRaw);
  CheckList(server, local);

  FUZZ_CHECK(CMyFun::CompareManifests(server, server).empty());
  FUZZ_CHECK(CMyFun::CompareManifests(local, local).empty());
  // An empty local manifest lists every server entry.
  FUZZ_CHECK(CMyFun::CompareManifests(server, L"\n").size() == fuzz::ModelRead(server).size());
  return 0;
}
