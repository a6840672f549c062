#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/handles_win.h"
#include "manifest/md5.h"
#include "transfer/body_pipe.h"

class StopSignal;

// The one writer of a <name>.tmp. Every way of filling one (a whole body, a
// resumed body, a delta rebuild from the installed copy) goes through it, so
// its rules hold for all of them:
// - the file's length is the one the server's answer confirmed (Begin), and
//   nothing is ever written past it;
// - bytes are taken strictly in order: those before the position are passed
//   over (a server may send more than was asked for), a gap is refused;
// - so whatever the .tmp holds at any moment is an exact prefix of the new
//   file, which the next run may continue by any method; a failed write or
//   bytes past the end leave nothing to trust, and the file is deleted;
// - every byte is hashed as it is written;
// - long copies see a stop within one chunk;
// - the data is flushed before the rename by the rule for the file's own
//   length (FlushBeforeInstall), whatever one answer brought.
//   KeptPrefix kept = ReadKeptPrefix(path, stop);   (before the request)
//   TemporaryFile file(path, name, shown);  file.Begin(length, std::move(kept), ...);
//   file.Append(data, n) ...;  TemporaryFile::Ending end = file.Finish();

// What a .tmp from an earlier run holds, hashed: by the rule above, an exact
// prefix of the new file (or of another release's, which the digest finds).
struct KeptPrefix {
  std::uint64_t length = 0;
  Md5 md5;
};
// Nothing when there is no .tmp or it cannot be read (it is written anew);
// stopped is set when a stop cut the hashing short (the file stays as it is).
KeptPrefix ReadKeptPrefix(const std::wstring& path, const StopSignal* stop, bool& stopped);

// Reads up to size bytes of another file at offset; how many were read.
using SourceReader = std::function<std::size_t(std::uint64_t offset, std::uint8_t* out, std::size_t size)>;

class TemporaryFile {
 public:
  // name is the manifest's (it decides the flush); shown is the row's count
  // of bytes, moved as they are written.
  TemporaryFile(std::wstring path, std::wstring name, const StopSignal* stop,
                std::atomic<std::uint64_t>& shown);
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Opens the file for a new file of length bytes, continuing kept (when it
  // is no longer than that) or from zero. The row counts from countFrom
  // (bytes the row does not show, such as a resumed answer's kept part).
  // Large bodies are written and hashed on threads of their own. False when
  // the file cannot be opened.
  bool Begin(std::uint64_t length, KeptPrefix kept, std::uint64_t countFrom);
  bool Begun() const { return m_begun; }

  std::uint64_t Position() const { return m_position; }
  std::uint64_t Length() const { return m_length; }
  std::uint64_t Kept() const { return m_kept; }  // the prefix continued at Begin

  // The bytes of the new file at offset (see the rules above); false once the
  // file cannot be trusted or a gap or the end was met.
  bool Put(std::uint64_t offset, const char* data, std::size_t size);
  bool Append(const char* data, std::size_t size) { return Put(m_position, data, size); }

  // Receiving straight into the file's chunks (large files): the room for
  // the next bytes, then how many arrived there. A room without bytes ends a
  // body; Filled refuses bytes past the end.
  bool Piped() const { return m_pipe != nullptr; }
  BodyPipe::Room NextRoom();
  bool Filled(std::size_t size);

  // Copies size bytes of another file from offset on as the next bytes (the
  // installed copy's blocks in a delta rebuild); false when stopped, when
  // the source cannot be read, or at the end.
  bool CopyFrom(const SourceReader& source, std::uint64_t offset, std::uint64_t size);

  enum class State {
    kComplete,  // the whole file, flushed where the rule says: install it
    kPrefix,    // an exact prefix, kept for the next run
    kGone,      // nothing to trust: deleted
  };
  struct Ending {
    State state = State::kGone;
    std::string digest;  // with kComplete: the MD5 of the whole file
  };
  Ending Finish();

 private:
  void Fail() { m_failed = true; }
  void Advance(std::size_t size);

  std::wstring m_path;
  std::wstring m_name;
  const StopSignal* m_stop;
  std::atomic<std::uint64_t>& m_shown;
  bool m_begun = false;
  bool m_failed = false;
  bool m_finished = false;
  std::uint64_t m_length = 0;
  std::uint64_t m_position = 0;
  std::uint64_t m_kept = 0;
  std::uint64_t m_countFrom = 0;
  Md5 m_md5;
  UniqueStream m_out;
  // Declared after the stream: on every way out it finishes first, so what
  // was handed to it is in the file, in order, before the file is closed.
  std::unique_ptr<BodyPipe> m_pipe;
};

// Its length; 0 when there is none or it cannot be read.
std::uint64_t TemporaryLength(const std::wstring& path);
