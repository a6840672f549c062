#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "check/http_win.h"
#include "transfer/range_fetch_win.h"

class StopSignal;

// What a delta fetch shares with the download run it is part of.
struct DeltaContext {
  const InternetHandle& root;
  StopSignal* stop;
  std::atomic<std::uint64_t>& networkBytes;  // every byte received, for the speed
  std::atomic<std::uint64_t>& assembled;     // the row's current size: held and received
  std::atomic<std::uint64_t>& length;        // the row's total: the new file's length
  std::atomic<bool>& answered;               // the row shows sizes from now on
  std::atomic<bool>& listsOfRanges;          // the server answers a list in one request

  RangeLink Link() const { return RangeLink{root, stop, networkBytes}; }
};

enum class DeltaOutcome {
  kAssembled,  // the .tmp holds the whole new file; digest is its MD5
  kNotUsed,    // no index, a bad one, too little held, an answer not understood:
               // fetch the usual way, continuing what the .tmp holds
  kFailed,     // a hard failure (the connection broke); the .tmp is kept
};

struct DeltaResult {
  DeltaOutcome outcome = DeltaOutcome::kNotUsed;
  std::string digest;
  const char* diagnostic = nullptr;
};

// Rebuilds the new version of a file in its .tmp from the installed copy and
// the index the server publishes beside the release: the parts the old copy
// holds are copied from it, the rest is asked for with Range requests (a list
// per request where the server answers multipart/byteranges), and the .tmp is
// written strictly in order, continuing a prefix an earlier run left. Nothing
// is installed here and the old copy is only read.
// Where formUrl names the file's compressed form, each missing frame comes
// as whichever costs fewer bytes: its raw ranges or its stored bytes.
// name is the manifest's name of the file (it decides whether the data is
// flushed before the file is installed).
DeltaResult ReceiveByDelta(const DeltaContext& context, const std::wstring& fileUrl,
                           const std::wstring& indexUrl, const std::wstring& installed,
                           const std::wstring& temporary, const std::wstring& name,
                           const std::wstring* formUrl);

// Where the index of a release file is served: "UpDate.delta/" plus the
// file's URL path, below the update folder.
std::wstring DeltaIndexUrl(const std::wstring& updateUrl, const std::wstring& name);
