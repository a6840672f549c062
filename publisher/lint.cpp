#include "publisher/lint.h"

#include <algorithm>
#include <cwctype>
#include <map>

#include "manifest/manifest_reader.h"
#include "publisher/code_page.h"
#include "publisher/text.h"
#include "publisher/text_mode.h"
#include "transfer/frames.h"
#include "transfer/name_safety.h"
#include "transfer/pack.h"

namespace {

// What a client does with a digest that is not 32 hexadecimal digits: it
// could not check the file, so it never installs it.
const std::string kNeverInstalled = ": clients never install the file (its row fails and the old copy stays)";

bool IsSpace(wchar_t c) { return std::iswspace(static_cast<std::wint_t>(c)) != 0; }

// Blanks other than the line-end characters, which have messages of their own.
bool IsBlank(wchar_t c) { return c != L'\r' && c != L'\n' && IsSpace(c); }

bool IsBlankText(const std::wstring& text) {
  return std::all_of(text.begin(), text.end(), IsSpace);
}

std::string Quoted(const std::wstring& text) { return "\"" + Printable(text) + "\""; }

std::string Hex(unsigned char byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string{kDigits[byte >> 4], kDigits[byte & 0xF]};
}

std::wstring Without(std::wstring text, wchar_t unwanted) {
  text.erase(std::remove(text.begin(), text.end(), unwanted), text.end());
  return text;
}

std::wstring TrimBlanks(const std::wstring& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool IsLowerHexDigest(const std::wstring& digest) {
  return digest.size() == 32 && std::all_of(digest.begin(), digest.end(), [](wchar_t c) {
           return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
         });
}

bool IsUpperCaseHexDigest(const std::wstring& digest) {
  return digest.size() == 32 && std::all_of(digest.begin(), digest.end(), [](wchar_t c) {
           return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
         });
}

class Linter {
 public:
  Linter(std::string_view file, const CodePage& codePage) : m_file(file), m_codePage(codePage) {}

  std::vector<LintProblem> Run() {
    CheckByteOrderMark();
    const UpdaterBytes kept = BytesAsUpdaterReads(m_file);
    CheckEnd(kept);
    Decode(kept.text);
    Parse();
    std::stable_sort(m_problems.begin(), m_problems.end(),
                     [](const LintProblem& a, const LintProblem& b) { return a.line < b.line; });
    return std::move(m_problems);
  }

 private:
  void Report(std::size_t line, std::string message) { m_problems.push_back({line, std::move(message)}); }

  std::size_t LineOfFileOffset(std::size_t offset) const {
    return 1 + static_cast<std::size_t>(std::count(m_file.begin(), m_file.begin() + offset, '\n'));
  }

  void CheckByteOrderMark() {
    if (m_file.substr(0, 3) == "\xEF\xBB\xBF") {
      Report(1, "UTF-8 byte-order mark at the start: the updater makes it part of the first name");
    } else if (m_file.substr(0, 2) == "\xFF\xFE" || m_file.substr(0, 2) == "\xFE\xFF") {
      Report(1, "UTF-16 byte-order mark: the file is UTF-16 text, but the updater reads 8-bit text in code page " +
                    std::to_string(m_codePage.Number()));
    }
  }

  // A 0x1A or NUL with nothing but blanks after it changes nothing.
  void CheckEnd(const UpdaterBytes& kept) {
    if (kept.end == TextEnd::kWholeFile) return;
    const std::string_view rest = m_file.substr(kept.endOffset + 1);
    const bool restMatters = rest.find_first_not_of(std::string_view(" \t\r\n\v\f\x1A\0", 9)) != std::string_view::npos;
    if (!restMatters) return;
    const std::size_t line = LineOfFileOffset(kept.endOffset);
    const std::size_t lastLine = LineOfFileOffset(m_file.size());
    Report(line, std::string(kept.end == TextEnd::kNul ? "NUL byte" : "0x1A byte (end-of-file mark)") +
                     ": the updater's text ends here; the rest of the file" +
                     (lastLine > line ? " (to line " + std::to_string(lastLine) + ")" : "") + " is ignored");
  }

  // Decodes line by line: LF is never part of a multi-byte character, so the
  // result equals decoding the whole text, and each line keeps its number.
  void Decode(const std::string& kept) {
    std::size_t start = 0, line = 1;
    for (;;) {
      const std::size_t lf = std::min(kept.find('\n', start), kept.size());
      const std::string_view bytes(kept.data() + start, lf - start);
      std::vector<std::size_t> invalid;
      m_lineStarts.push_back(m_text.size());
      m_text += m_codePage.Decode(bytes, &invalid);
      if (!invalid.empty()) {
        std::string where;
        for (std::size_t k = 0; k < invalid.size() && k < 3; ++k) {
          where += (k ? ", " : " ") + Hex(static_cast<unsigned char>(bytes[invalid[k]])) + " at byte " +
                   std::to_string(invalid[k] + 1);
        }
        if (invalid.size() > 3) where += ", ...";
        Report(line, "bytes invalid in code page " + std::to_string(m_codePage.Number()) + ":" + where);
      }
      if (m_firstNonAscii == 0 && std::any_of(bytes.begin(), bytes.end(), [](char c) { return c & 0x80; })) {
        m_firstNonAscii = line;
      }
      if (lf == kept.size()) break;
      m_text += L'\n';
      start = lf + 1;
      ++line;
    }
    if (m_codePage.Number() != 65001 && LooksLikeUtf8Text(kept)) {
      Report(m_firstNonAscii, "the file is UTF-8 text, but the updater reads names in code page " +
                                  std::to_string(m_codePage.Number()) + ", where they mean something else");
    }
  }

  std::size_t LineOfTextOffset(std::size_t offset) const {
    return static_cast<std::size_t>(std::upper_bound(m_lineStarts.begin(), m_lineStarts.end(), offset) -
                                    m_lineStarts.begin());
  }

  // Walks the trimmed text the way the updater's reader does, remembering
  // where each piece came from.
  void Parse() {
    std::size_t begin = 0, end = m_text.size();
    while (begin < end && IsSpace(m_text[begin])) ++begin;
    while (end > begin && IsSpace(m_text[end - 1])) --end;
    const std::wstring prepared = m_text.substr(begin, end - begin) + L'\n';
    const auto line = [&](std::size_t offset) { return LineOfTextOffset(begin + offset); };

    std::size_t pos = 0;
    for (;;) {
      const std::size_t tab = prepared.find(L'\t', pos);
      if (tab == std::wstring::npos) {
        ReportIgnoredTail(prepared, pos, line);
        break;
      }
      const std::size_t lf = prepared.find(L'\n', tab + 1);
      const std::wstring name = prepared.substr(pos, tab - pos);
      const std::wstring digest = prepared.substr(tab + 1, lf - tab - 1);
      CheckEntry(name, digest, line(pos), line(tab));
      pos = lf + 1;
    }
    if (ReadManifestTable(PrepareManifestText(m_text)).empty()) {
      Report(1, "no entries: clients compare against nothing and download nothing");
    }
  }

  template <typename LineOf>
  void ReportIgnoredTail(const std::wstring& prepared, std::size_t pos, const LineOf& line) {
    while (pos + 1 < prepared.size()) {
      const std::size_t lf = prepared.find(L'\n', pos);
      if (!IsBlankText(prepared.substr(pos, lf - pos))) {
        Report(line(pos), "no TAB on this line and no entry after it: the updater ignores the line");
      }
      pos = lf + 1;
    }
  }

  void CheckEntry(const std::wstring& name, const std::wstring& digest, std::size_t firstLine,
                  std::size_t entryLine) {
    // Lines before the one with the TAB are swallowed into its name.
    const std::size_t lastLf = name.rfind(L'\n');
    if (lastLf != std::wstring::npos) {
      std::size_t start = 0;
      for (std::size_t l = firstLine; l < entryLine; ++l) {
        const std::size_t lf = name.find(L'\n', start);
        const std::wstring piece = name.substr(start, lf - start);
        if (IsBlankText(piece)) {
          Report(l, "blank line: the updater puts a line feed at the front of the name on line " +
                        std::to_string(entryLine));
        } else {
          Report(l, "no TAB on this line: the updater merges it into the name on line " +
                        std::to_string(entryLine) + ", giving " + Quoted(name));
        }
        start = lf + 1;
      }
    }
    const std::wstring ownName = lastLf == std::wstring::npos ? name : name.substr(lastLf + 1);
    if (IsExcludedManifestName(name)) return;

    if (ownName.find(L'\r') != std::wstring::npos || digest.find(L'\r') != std::wstring::npos) {
      Report(entryLine, std::string("CR not followed by LF: the updater keeps it in the ") +
                            (digest.find(L'\r') != std::wstring::npos
                                 ? "digest, which is then not 32 hexadecimal digits" + kNeverInstalled
                                 : "name"));
    }
    CheckName(Without(ownName, L'\r'), entryLine, lastLf == std::wstring::npos);
    CheckDigest(Without(digest, L'\r'), entryLine);
    CheckDuplicate(name, digest, entryLine);
  }

  void CheckName(const std::wstring& name, std::size_t line, bool wholeName) {
    if (name.empty()) {
      if (wholeName) Report(line, "empty name: the line starts with a TAB");
      return;
    }
    const std::wstring trimmed = TrimBlanks(name);
    if (!name.empty() && IsBlank(name.front())) {
      Report(line, "leading blank in the name " + Quoted(name) + ": it is part of the name, so no client file matches");
    }
    if (!name.empty() && IsBlank(name.back())) {
      Report(line, "trailing blank in the name " + Quoted(name) + ": it is part of the name, so no client file matches");
    }
    if (trimmed.find(L'/') != std::wstring::npos) {
      Report(line, "forward slash in the name " + Quoted(trimmed) +
                       ": clients list the file with backslashes, so it is downloaded on every run");
    }
    if (wholeName && !trimmed.empty() && !IsSafeRelativeName(trimmed)) {
      Report(line, "the name " + Quoted(trimmed) +
                       " leaves the folder or is no plain file name: the updater will not download it");
    } else if (wholeName && IsUpdaterOwnName(trimmed)) {
      Report(line, "the name " + Quoted(trimmed) +
                       " is one the updater keeps for itself (its script, manifests, notes, a .tmp file or "
                       "the index folder): clients refuse to install it");
    } else if (wholeName && (IsFramesName(trimmed) || IsPackName(trimmed))) {
      Report(line, "the name " + Quoted(trimmed) +
                       " is one generate writes beside the manifest (a compressed form or their list, the pack or "
                       "its table), never a release file: clients would install the tool's file of that name");
    }
  }

  void CheckDigest(const std::wstring& digest, std::size_t line) {
    if (digest.find(L'\t') != std::wstring::npos) {
      Report(line, "more than one TAB: the updater takes " + Quoted(digest) +
                       " as the digest, which is not 32 hexadecimal digits" + kNeverInstalled);
      return;
    }
    const std::wstring trimmed = TrimBlanks(digest);
    if (trimmed != digest) {
      Report(line,
             "blanks around the digest: they are part of it, so it is not 32 hexadecimal digits" + kNeverInstalled);
    }
    if (IsLowerHexDigest(trimmed)) return;
    if (IsUpperCaseHexDigest(trimmed)) {
      Report(line, "uppercase digest: clients write lowercase and compare case-sensitively, "
                   "so the file is downloaded on every run");
    } else if (trimmed.empty()) {
      Report(line, "empty digest" + kNeverInstalled);
    } else {
      Report(line, "the digest " + Quoted(trimmed) + " is not 32 hexadecimal digits" + kNeverInstalled);
    }
  }

  void CheckDuplicate(const std::wstring& name, const std::wstring& digest, std::size_t line) {
    const auto [exact, inserted] = m_firstLine.emplace(name, line);
    if (!inserted) {
      const bool sameDigest = m_digests[name] == digest;
      Report(line, "duplicate name " + Quoted(name) + ": line " + std::to_string(exact->second) +
                       " wins and this line is ignored" + (sameDigest ? "" : " (its digest differs)"));
      return;
    }
    m_digests.emplace(name, digest);
    const auto [folded, first] = m_firstFolded.emplace(FoldCase(name), line);
    if (!first) {
      Report(line, "the name " + Quoted(name) + " differs only in letter case from line " +
                       std::to_string(folded->second) +
                       ": both are one file on a Windows disk, so one of them is downloaded on every run");
    }
  }

  std::string_view m_file;
  const CodePage& m_codePage;
  std::wstring m_text;                   // the decoded text, before trimming
  std::vector<std::size_t> m_lineStarts;  // offset in m_text of each line
  std::size_t m_firstNonAscii = 0;
  std::map<std::wstring, std::size_t> m_firstLine;
  std::map<std::wstring, std::wstring> m_digests;
  std::map<std::wstring, std::size_t> m_firstFolded;
  std::vector<LintProblem> m_problems;
};

}  // namespace

std::vector<LintProblem> LintManifest(std::string_view file, const CodePage& codePage) {
  return Linter(file, codePage).Run();
}
