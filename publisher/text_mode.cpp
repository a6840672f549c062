#include "publisher/text_mode.h"

#include "manifest/manifest_reader.h"
#include "publisher/code_page.h"

UpdaterBytes BytesAsUpdaterReads(std::string_view file) {
  UpdaterBytes result;
  result.text.reserve(file.size());
  std::size_t i = 0;
  for (; i < file.size(); ++i) {
    const char c = file[i];
    if (c == '\x1A') {
      result.end = TextEnd::kCtrlZ;
      break;
    }
    if (c == '\0') {
      result.end = TextEnd::kNul;
      break;
    }
    if (c == '\r' && i + 1 < file.size() && file[i + 1] == '\n') continue;  // the LF follows
    result.text += c;
  }
  result.endOffset = i;
  return result;
}

std::wstring PreparedTextOf(std::string_view file, const CodePage& codePage) {
  return PrepareManifestText(codePage.Decode(BytesAsUpdaterReads(file).text));
}
