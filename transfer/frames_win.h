#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "manifest/manifest_reader.h"
#include "transfer/delta_win.h"
#include "transfer/frames.h"

// A list the publisher's tool writes beside the manifest, read once per run:
// the prepared text of a 200 answer of at most `largest` bytes, converted
// from the manifest's code page; nothing for anything else.
std::optional<std::wstring> FetchListText(const InternetHandle& root, const std::wstring& url, std::uint64_t largest,
                                          StopSignal* stop, std::atomic<std::uint64_t>& networkBytes);

// The release's files that have a compressed form, from the list the
// publisher's tool writes beside the manifest ("UpDate.frames.ini": a name,
// a TAB and the form's length per line, in the manifest's code page). Empty
// when there is none or it cannot be read: then every file is fetched as
// it is, and no form is ever asked for by name in vain.
ManifestTable FetchFormNames(const InternetHandle& root, const std::wstring& updateUrl, StopSignal* stop,
                             std::atomic<std::uint64_t>& networkBytes);

// Where a release file's compressed form is served: "UpDate.frames/" plus
// the file's URL path, below the update folder.
std::wstring FramesUrl(const std::wstring& updateUrl, const std::wstring& name);

// Receives a file into its .tmp by its compressed form: the form's frames
// are decoded as they arrive and written, in order, by the .tmp's one
// writer, continuing the prefix an earlier run left (by any method) where
// ranges are on. A fresh file costs one request; a resumed one asks for the
// form's head, then for the frames from the one holding the first byte not
// held. Any doubt about the form (not served, a table that does not parse or
// disagrees with the served length, a frame that does not decode or misses
// its sum) is kNotUsed: the .tmp is still an exact prefix, and the usual
// fetch continues it. name is the manifest's (it decides the flush).
DeltaResult ReceiveByFrames(const DeltaContext& context, const std::wstring& formUrl,
                            const std::wstring& temporary, const std::wstring& name, bool ranges);

// The header and table of a served form, read with ranges (as long as the
// tool writes it for the file's length, then the rest of a longer one); nothing when it is not served, does not
// parse, or is not the form of a file of fileLength bytes.
std::optional<FramesTable> FetchFramesTable(const DeltaContext& context, const std::wstring& formUrl,
                                            std::uint64_t fileLength);
