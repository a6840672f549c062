#include <errno.h>
#include <iconv.h>

#include "publisher/code_page.h"
#include "publisher/tool_error.h"

namespace {

std::string IconvName(unsigned number) {
  switch (number) {
    case 65001: return "UTF-8";
    case 54936: return "GB18030";
    case 20127: return "ASCII";
    case 20932: return "EUC-JP";
    case 51949: return "EUC-KR";
    default:
      if (number >= 28591 && number <= 28599) return "ISO-8859-" + std::to_string(number - 28590);
      return "CP" + std::to_string(number);
  }
}

struct Iconv {
  iconv_t cd = reinterpret_cast<iconv_t>(-1);
  bool Open(const std::string& to, const std::string& from) {
    cd = ::iconv_open(to.c_str(), from.c_str());
    return cd != reinterpret_cast<iconv_t>(-1);
  }
  ~Iconv() {
    if (cd != reinterpret_cast<iconv_t>(-1)) ::iconv_close(cd);
  }
  void Reset() const { ::iconv(cd, nullptr, nullptr, nullptr, nullptr); }
};

}  // namespace

struct CodePage::Impl {
  Iconv encoder, decoder;
};

CodePage::CodePage(unsigned number) : m_number(number), m_impl(new Impl) {
  const std::string name = IconvName(number);
  if (!m_impl->encoder.Open(name, "WCHAR_T") || !m_impl->decoder.Open("WCHAR_T", name)) {
    throw ToolError("code page " + std::to_string(number) + " is not available here");
  }
}

CodePage::~CodePage() = default;

bool CodePage::Encode(const std::wstring& text, std::string& bytes) const {
  bytes.clear();
  m_impl->encoder.Reset();
  char* in = const_cast<char*>(reinterpret_cast<const char*>(text.data()));
  std::size_t inLeft = text.size() * sizeof(wchar_t);
  char buffer[4096];
  for (;;) {
    char* out = buffer;
    std::size_t outLeft = sizeof buffer;
    // A null input flushes any shift state once the text is consumed.
    const std::size_t result = inLeft != 0 ? ::iconv(m_impl->encoder.cd, &in, &inLeft, &out, &outLeft)
                                           : ::iconv(m_impl->encoder.cd, nullptr, nullptr, &out, &outLeft);
    bytes.append(buffer, static_cast<std::size_t>(out - buffer));
    if (result == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) continue;
      return false;
    }
    // glibc counts irreversible conversions in the result.
    if (result != 0) return false;
    if (inLeft == 0 && out == buffer) break;
  }
  // A round trip catches a converter that maps a character to a look-alike.
  return Decode(bytes) == text;
}

std::wstring CodePage::Decode(std::string_view bytes, std::vector<std::size_t>* invalidOffsets) const {
  std::wstring text;
  m_impl->decoder.Reset();
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  wchar_t buffer[1024];
  while (inLeft != 0) {
    char* out = reinterpret_cast<char*>(buffer);
    std::size_t outLeft = sizeof buffer;
    const std::size_t result = ::iconv(m_impl->decoder.cd, &in, &inLeft, &out, &outLeft);
    text.append(buffer, static_cast<std::size_t>(reinterpret_cast<wchar_t*>(out) - buffer));
    if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
      // EILSEQ or an incomplete sequence at the end: skip one byte and go on.
      if (invalidOffsets) invalidOffsets->push_back(static_cast<std::size_t>(in - bytes.data()));
      text += L'\uFFFD';
      ++in;
      --inLeft;
      m_impl->decoder.Reset();
    }
  }
  return text;
}

unsigned DefaultCodePage() { return 936; }
