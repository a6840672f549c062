// Manifest text from the server or the local walk: whatever it holds, the
// table must be exactly the entries the text spells out, in Windows' order.
#include <algorithm>
#include <iterator>

#include "fuzz/fuzz_support.h"
#include "manifest/manifest_reader.h"

namespace {

// True when name TAB digest LF starts at the text's start or right after an LF.
bool AppearsAsEntry(const std::wstring& text, const std::wstring& name, const std::wstring& digest) {
  const std::wstring entry = name + L'\t' + digest + L'\n';
  for (std::size_t at = text.find(entry); at != std::wstring::npos; at = text.find(entry, at + 1)) {
    if (at == 0 || text[at - 1] == L'\n') return true;
  }
  return false;
}

void CheckTable(const std::wstring& text, const ManifestTable& table) {
  const OrdinalUtf16Less less;
  for (const auto& [name, digest] : table) {
    FUZZ_CHECK(name.find(L'\t') == std::wstring::npos);
    FUZZ_CHECK(digest.find(L'\n') == std::wstring::npos);
    FUZZ_CHECK(!IsExcludedManifestName(name));
    FUZZ_CHECK(name != L"MD5.exe" && name != L"UpDate.ini");
    FUZZ_CHECK(AppearsAsEntry(text, name, digest));
    FUZZ_CHECK(!less(name, name));
  }
  // The map's order must be Windows' ordinal order, strictly (no two keys equal).
  for (auto it = table.begin(); it != table.end() && std::next(it) != table.end(); ++it) {
    FUZZ_CHECK(fuzz::Utf16Units(it->first) < fuzz::Utf16Units(std::next(it)->first));
  }
  // The comparator against plain code-unit order on pairs of keys (bounded:
  // quadratic); agreeing with a total order makes it a strict weak order.
  std::size_t i = 0;
  for (auto a = table.begin(); a != table.end() && i < 48; ++a, ++i) {
    std::size_t j = 0;
    for (auto b = table.begin(); b != table.end() && j < 48; ++b, ++j) {
      const bool expected = fuzz::Utf16Units(a->first) < fuzz::Utf16Units(b->first);
      FUZZ_CHECK(less(a->first, b->first) == expected);
      FUZZ_CHECK(!(less(a->first, b->first) && less(b->first, a->first)));
    }
  }
  // Same entries as the line-by-line model, first line for a name winning.
  const fuzz::ModelTable model = fuzz::ModelRead(text);
  FUZZ_CHECK(model.size() == table.size());
  auto m = model.begin();
  for (const auto& entry : table) {
    FUZZ_CHECK(entry.first == m->first && entry.second == m->second);
    ++m;
  }
}

// The comparator on arbitrary strings too: every pair of the text's first lines.
void CheckOrderOnLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  for (std::size_t start = 0; start <= text.size() && lines.size() < 32;) {
    const std::size_t lf = std::min(text.find(L'\n', start), text.size());
    lines.push_back(text.substr(start, lf - start));
    start = lf + 1;
  }
  const OrdinalUtf16Less less;
  for (const std::wstring& a : lines) {
    for (const std::wstring& b : lines) {
      FUZZ_CHECK(less(a, b) == (fuzz::Utf16Units(a) < fuzz::Utf16Units(b)));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::wstring raw = fuzz::WideFromUtf16Le(data, size);
  const std::wstring prepared = PrepareManifestText(raw);

  // Prepared text: one LF at the end, nothing trimmable before it, and its
  // body a contiguous piece of the input; preparing again changes nothing.
  FUZZ_CHECK(!prepared.empty() && prepared.back() == L'\n');
  const std::wstring body = prepared.substr(0, prepared.size() - 1);
  FUZZ_CHECK(raw.find(body) != std::wstring::npos);
  FUZZ_CHECK(PrepareManifestText(prepared) == prepared);

  CheckOrderOnLines(raw);

  const ManifestTable table = ReadManifestTable(prepared);
  CheckTable(prepared, table);
  FUZZ_CHECK(ReadManifestTable(prepared) == table);

  // The reader is also total on unprepared text (a last line without LF is
  // simply not an entry).
  CheckTable(raw, ReadManifestTable(raw));
  return 0;
}
