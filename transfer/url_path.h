#pragma once
#include <string>

// The URL path of a manifest name: backslashes become "/", and every
// character a URL path cannot carry as itself is percent-encoded. Non-ASCII
// characters are encoded as their UTF-8 bytes, so a server finds the file
// under its Unicode name ("数据\a b#1.txt" -> "%E6%95%B0%E6%8D%AE/a%20b%231.txt").
// Without it a "#" would cut the URL into a fragment and fetch another file.
std::wstring UrlPathOf(const std::wstring& name);
