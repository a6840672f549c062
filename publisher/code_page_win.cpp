#include "engine/win.h"
#include "publisher/code_page.h"
#include "publisher/tool_error.h"

struct CodePage::Impl {};

CodePage::CodePage(unsigned number) : m_number(number) {
  if (!::IsValidCodePage(number)) {
    throw ToolError("code page " + std::to_string(number) + " is not available here");
  }
}

CodePage::~CodePage() = default;

bool CodePage::Encode(const std::wstring& text, std::string& bytes) const {
  bytes.clear();
  if (text.empty()) return true;
  // UTF-8 refuses flags other than WC_ERR_INVALID_CHARS; the round trip below
  // catches substitutes and best-fit look-alikes for every code page.
  DWORD flags = m_number == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  const int length = static_cast<int>(text.size());
  int size = ::WideCharToMultiByte(m_number, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0 && ::GetLastError() == ERROR_INVALID_FLAGS) {
    flags = 0;  // code pages such as 54936 take no flags
    size = ::WideCharToMultiByte(m_number, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
  }
  if (size <= 0) return false;
  bytes.resize(static_cast<std::size_t>(size));
  ::WideCharToMultiByte(m_number, flags, text.data(), length, bytes.data(), size, nullptr, nullptr);
  return Decode(bytes) == text;
}

std::wstring CodePage::Decode(std::string_view bytes, std::vector<std::size_t>* invalidOffsets) const {
  std::wstring text;
  if (bytes.empty()) return text;
  const auto convert = [this](const char* data, int size, DWORD flags, std::wstring& out) {
    const int count = ::MultiByteToWideChar(m_number, flags, data, size, nullptr, 0);
    if (count <= 0) return false;
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(count));
    ::MultiByteToWideChar(m_number, flags, data, size, out.data() + start, count);
    return true;
  };
  if (convert(bytes.data(), static_cast<int>(bytes.size()), MB_ERR_INVALID_CHARS, text)) return text;

  // Some byte is invalid: step through the text one character at a time to
  // find which. A character takes at most four bytes in any code page.
  text.clear();
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t length = 1;
    for (; length <= 4 && i + length <= bytes.size(); ++length) {
      if (convert(bytes.data() + i, static_cast<int>(length), MB_ERR_INVALID_CHARS, text)) break;
    }
    if (length > 4 || i + length > bytes.size()) {
      if (invalidOffsets) invalidOffsets->push_back(i);
      text += L'\uFFFD';
      length = 1;
    }
    i += length;
  }
  return text;
}

unsigned DefaultCodePage() { return ::GetACP(); }
