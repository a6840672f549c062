#pragma once
#include <atomic>
#include <optional>
#include <string>
#include <string_view>

#include "check/http_win.h"
#include "transfer/pack.h"
#include "transfer/range_fetch_win.h"

// The release's pack table ("UpDate.pack.ini"), where it serves one.
std::optional<PackTable> FetchPackTable(const InternetHandle& root, const std::wstring& updateUrl, StopSignal* stop,
                                        std::atomic<std::uint64_t>& networkBytes);

// One request for a batch's ranges of the pack, whose length the table
// gives and every answer must confirm. A list answered with one range, the
// whole pack or 416 turns lists off for the rest of the run.
RangeAnswer FetchPackBatch(const RangeLink& link, const std::wstring& updateUrl, const PackTable& table,
                           const PackBatch& batch, std::atomic<bool>& listsOfRanges);

// An entry's stored bytes, where the answer brought them whole (an answer
// cut short brings those before the cut).
std::optional<std::string_view> StoredBytes(const RangeAnswer& answer, const PackEntry& entry);
