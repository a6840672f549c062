#include "transfer/pack_win.h"

#include <algorithm>

#include "transfer/frames_win.h"

std::optional<PackTable> FetchPackTable(const InternetHandle& root, const std::wstring& updateUrl, StopSignal* stop,
                                        std::atomic<std::uint64_t>& networkBytes) {
  const auto text = FetchListText(root, updateUrl + kPackTableName, kLargestPackTable, stop, networkBytes);
  if (!text) return std::nullopt;
  return ReadPackTable(*text);
}

RangeAnswer FetchPackBatch(const RangeLink& link, const std::wstring& updateUrl, const PackTable& table,
                           const PackBatch& batch, std::atomic<bool>& listsOfRanges) {
  RangeAnswer answer = FetchRanges(link, updateUrl + kPackName, batch.Ranges(), table.length, nullptr);
  if (answer.listRefused) listsOfRanges = false;
  return answer;
}

std::optional<std::string_view> StoredBytes(const RangeAnswer& answer, const PackEntry& entry) {
  // Pieces are only bytes asked for, each part's range checked before its
  // bytes were kept: an answer cut short still brought the entries before
  // the cut. They are in pack order and apart: the last starting at or
  // before the entry holds it, if any does.
  const auto after = std::upper_bound(answer.pieces.begin(), answer.pieces.end(), entry.offset,
                                      [](std::uint64_t offset, const Piece& piece) { return offset < piece.offset; });
  if (after == answer.pieces.begin()) return std::nullopt;
  const Piece& piece = *(after - 1);
  if (entry.End() > piece.offset + piece.bytes.size()) return std::nullopt;
  return std::string_view(piece.bytes).substr(static_cast<std::size_t>(entry.offset - piece.offset),
                                              static_cast<std::size_t>(entry.stored));
}
