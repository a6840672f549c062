#include "transfer/temporary_file_win.h"

#include <io.h>
#include <share.h>

#include <algorithm>
#include <vector>

#include "engine/separators.h"
#include "engine/stop_signal.h"
#include "engine/win.h"
#include "manifest/manifest_file.h"
#include "transfer/download_policy.h"

namespace {

// From this many bytes to come a body is written and hashed on threads of
// its own (BodyPipe); smaller files are not worth two threads.
constexpr std::uint64_t kPipedFrom = 4u << 20;
// A copy from another file goes in pieces of this size, with a stop check
// between them (a few ms each).
constexpr std::size_t kCopyPiece = 1u << 20;

bool FlushStreamToDisk(std::FILE* stream) {
  if (std::fflush(stream) != 0) return false;
  return ::FlushFileBuffers(reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)))) != FALSE;
}

// For a BodyPipe's settle: has the system put what the file holds so far on
// the disk. It flushes through a handle of its own, since on Windows a flush
// on the writer's synchronous handle holds up its writes until it is done.
// Null when no such handle can be had (the flush before the rename then does
// it all); the handle closes with the last copy.
std::function<void()> FlushAside(const std::wstring& path) {
  auto file = std::make_shared<UniqueFile>(::CreateFileW(
      ExtendedLengthPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!*file) return nullptr;
  return [file] { ::FlushFileBuffers(file->get()); };
}

}  // namespace

std::uint64_t TemporaryLength(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(ExtendedLengthPath(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

KeptPrefix ReadKeptPrefix(const std::wstring& path, const StopSignal* stop, bool& stopped) {
  stopped = false;
  KeptPrefix kept;
  kept.length = TemporaryLength(path);
  if (kept.length == 0) return {};
  if (!AddFileToMd5(path, kept.md5, stop)) {
    stopped = StopRequested(stop);
    return {};  // a kept part that cannot be read is received again
  }
  return kept;
}

TemporaryFile::TemporaryFile(std::wstring path, std::wstring name, const StopSignal* stop,
                             std::atomic<std::uint64_t>& shown)
    : m_path(std::move(path)), m_name(std::move(name)), m_stop(stop), m_shown(shown) {}

TemporaryFile::~TemporaryFile() {
  if (m_begun) Finish();
}

bool TemporaryFile::Begin(std::uint64_t length, KeptPrefix kept, std::uint64_t countFrom) {
  if (m_begun) return false;
  if (kept.length > length) kept = KeptPrefix();
  m_out.reset(::_wfsopen(ExtendedLengthPath(m_path).c_str(), kept.length > 0 ? L"ab" : L"wb", _SH_DENYNO));
  if (!m_out) return false;
  m_begun = true;
  m_length = length;
  m_position = m_kept = kept.length;
  m_md5 = kept.md5;
  m_countFrom = std::min(countFrom, m_position);
  m_shown = m_position - m_countFrom;
  if (length - m_position >= kPipedFrom) {
    m_pipe = std::make_unique<BodyPipe>(m_out.get(), m_md5,
                                        FlushBeforeInstall(m_name, length) ? FlushAside(m_path) : nullptr);
  }
  return true;
}

void TemporaryFile::Advance(std::size_t size) {
  m_position += size;
  m_shown = m_position - m_countFrom;
}

bool TemporaryFile::Put(std::uint64_t offset, const char* data, std::size_t size) {
  if (!m_begun || m_failed || m_finished) return false;
  if (offset + size <= m_position) return true;
  if (offset > m_position) return false;  // a gap: only the caller knows what belongs there
  const std::size_t skip = static_cast<std::size_t>(m_position - offset);
  data += skip;
  size -= skip;
  if (size > m_length - m_position) {
    Fail();  // past the file's end: the answer cannot be trusted
    return false;
  }
  if (m_pipe) {
    if (!m_pipe->Put(data, size)) Fail();
  } else {
    if (std::fwrite(data, 1, size, m_out.get()) != size) Fail();
    m_md5.Update(data, size);
  }
  if (m_failed) return false;
  Advance(size);
  return true;
}

BodyPipe::Room TemporaryFile::NextRoom() {
  if (!m_pipe || m_failed || m_finished) return {};
  return m_pipe->NextRoom();
}

bool TemporaryFile::Filled(std::size_t size) {
  if (!m_pipe || m_failed || m_finished) return false;
  if (size > m_length - m_position) {
    Fail();
    return false;
  }
  if (!m_pipe->Filled(size)) {
    Fail();
    return false;
  }
  Advance(size);
  return true;
}

bool TemporaryFile::CopyFrom(const SourceReader& source, std::uint64_t offset, std::uint64_t size) {
  if (!m_begun || m_failed || m_finished || size > m_length - m_position) return false;
  std::vector<char> buffer(m_pipe ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(size, kCopyPiece)));
  while (size > 0) {
    if (StopRequested(m_stop)) return false;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size, kCopyPiece));
    // Read straight into the pipe's chunk: no copy on the way.
    BodyPipe::Room room;
    if (m_pipe) {
      room = m_pipe->NextRoom();
      if (!room.data) {
        Fail();
        return false;
      }
    }
    char* into = m_pipe ? room.data : buffer.data();
    const std::size_t take = m_pipe ? std::min(want, room.size) : want;
    if (source(offset, reinterpret_cast<std::uint8_t*>(into), take) != take) return false;
    if (m_pipe ? !Filled(take) : !Append(into, take)) return false;
    offset += take;
    size -= take;
  }
  return true;
}

TemporaryFile::Ending TemporaryFile::Finish() {
  if (!m_begun || m_finished) return {};
  m_finished = true;
  if (m_pipe && !m_pipe->Finish()) Fail();
  const bool complete = !m_failed && m_position == m_length;
  if (complete && FlushBeforeInstall(m_name, m_length) && !FlushStreamToDisk(m_out.get())) Fail();
  if (std::fclose(m_out.release()) != 0) Fail();
  m_pipe.reset();
  if (m_failed) {
    ::DeleteFileW(ExtendedLengthPath(m_path).c_str());
    return {};
  }
  if (!complete) return {State::kPrefix, {}};
  return {State::kComplete, Md5::ToHex(m_md5.Final())};
}
