#pragma once
#include <string>
#include <string_view>

// Wide strings hold UTF-16 on Windows and UTF-32 elsewhere; these helpers
// work on both.

// Strict UTF-8 decoding: false on malformed, overlong or surrogate sequences.
bool Utf8ToWide(std::string_view bytes, std::wstring& text);

// Unpaired surrogates become U+FFFD.
std::string WideToUtf8(const std::wstring& text);

// UTF-8 for messages: control characters appear as \n, \r, \t or \xNN so a
// name that swallowed a line feed stays on one line of output.
std::string Printable(const std::wstring& text);

// True when the bytes are valid UTF-8 and hold a sequence of three or more
// bytes, as CJK text written in UTF-8 does; text in a double-byte code page
// almost never is.
bool LooksLikeUtf8Text(std::string_view bytes);

// Folds letter case the way a case-insensitive file system compares names,
// for the letters the C library knows.
std::wstring FoldCase(const std::wstring& text);
