#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

// check-server: fetches from a live server what an updater fetches, the way
// it fetches it, and reports each problem with what users would see.
struct CheckServerRequest {
  std::string url;         // UPDATER_SERVER, or the base URL with its path
  std::string publicKey;   // empty: the updater has no key
  bool full = false;       // receive every file whole and check its MD5
  unsigned codePage = 0;   // the clients' ANSI code page
  std::uint64_t now = 0;   // seconds since 1970, for the signature's expiry
  std::FILE* progress = nullptr;
};

// Prints the report on standard output; true when nothing is wrong. Throws
// ToolError for a URL it cannot use, and where the tool is built without
// libcurl (Windows).
bool CheckServer(const CheckServerRequest& request);
