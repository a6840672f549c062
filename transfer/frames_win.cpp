#include "transfer/frames_win.h"

#include <algorithm>
#include <optional>
#include <thread>

#include "engine/stop_signal.h"
#include "transfer/byte_ranges.h"
#include "transfer/frames.h"
#include "transfer/temporary_file_win.h"
#include "transfer/url_path.h"

namespace {

// A list past this is not read: a line is some 40 bytes, so this is a
// release of 100,000 forms.
constexpr std::uint64_t kLargestFormList = 4u << 20;
// A resumed fetch asks for this much of the form's start: the header and
// table of a file up to some 340 MiB at 64 KiB a frame.
constexpr std::uint64_t kHeadAsk = 64u << 10;
// The head, the rest of a long table, the frames, and one more for an
// answer cut short.
constexpr int kMostRequests = 4;
constexpr DWORD kFormReadSize = 1u << 20;

// What one answer for the form says about itself.
struct FormAnswer {
  bool usable = false;
  std::uint64_t first = 0;  // the form offset of its first byte
  std::uint64_t end = 0;    // past its last
  std::uint64_t total = 0;  // the form's length
};

// A 200 is the whole form; a 206 must start where it was asked to and
// agree with the length the first answer confirmed (0: not yet known).
FormAnswer ReadAnswer(const UrlRequest& request, std::uint64_t at, std::uint64_t known) {
  FormAnswer answer;
  DWORD status = 0;
  std::uint64_t length = 0;
  if (!QueryStatusCode(request, status) || !QueryContentLength(request, length)) return answer;
  if (status == 200) {
    answer.end = answer.total = length;
  } else if (status == 206) {
    std::string text;
    if (!QueryHeaderText(request, HTTP_QUERY_CONTENT_RANGE, text)) return answer;
    const auto range = ParseContentRange(text);
    if (!range || range->range.first != at || range->range.Length() != length) return answer;
    answer.first = range->range.first;
    answer.end = range->range.last + 1;
    answer.total = range->total;
  } else {
    return answer;
  }
  answer.usable = known == 0 || answer.total == known;
  return answer;
}

class FormFetch {
 public:
  FormFetch(const DeltaContext& context, const std::wstring& url, const std::wstring& temporary,
            const std::wstring& name, KeptPrefix kept, bool ranges)
      : m_context(context), m_url(url), m_kept(std::move(kept)), m_ranges(ranges),
        m_file(temporary, name, context.stop, context.assembled) {}

  DeltaResult Run() {
    DeltaResult result;
    for (int request = 0; request < kMostRequests && !Done(); ++request) {
      const Step step = Exchange();
      if (step == Step::kBroken) {
        m_file.Finish();  // what was written stays, an exact prefix
        result.outcome = DeltaOutcome::kFailed;
        result.diagnostic = m_diagnostic;
        return result;
      }
      if (step == Step::kNotUsed) break;
    }
    if (!Done()) {
      m_file.Finish();
      return result;
    }
    const TemporaryFile::Ending ending = m_file.Finish();
    if (ending.state != TemporaryFile::State::kComplete) return result;
    result.outcome = DeltaOutcome::kAssembled;
    result.digest = ending.digest;
    return result;
  }

 private:
  enum class Step { kGoOn, kNotUsed, kBroken };

  bool Done() const { return m_reader && m_reader->Current() == FormReader::State::kDone; }

  // The header of the next request and the form offset it starts at.
  std::wstring NextHeader(std::uint64_t& at) {
    at = 0;
    // A fresh file, or a server without ranges: the whole form in one answer.
    if (!m_ranges || (!m_reader && m_kept.length == 0)) return kAcceptAllHeader;
    if (!m_reader) return RangesHeader({ByteRange{0, kHeadAsk - 1}});
    if (!m_reader->Table()) {  // a table longer than the first answer: the rest of it
      at = m_reader->Next();
      return RangesHeader({ByteRange{at, std::max(m_reader->HeadEnd(), at + 1) - 1}});
    }
    at = m_reader->SkipTo(m_file.Begun() ? m_file.Position() : m_kept.length);
    return RestOfFileHeader(at);
  }

  Step Exchange() {
    std::uint64_t at = 0;
    const std::wstring header = NextHeader(at);
    UrlRequest request = OpenUrlHandle(m_context.root, m_url, header, m_context.stop);
    if (!request) return Broken("OpenUrlFail\n");
    const FormAnswer answer = ReadAnswer(request, at, m_reader ? m_total : 0);
    if (!answer.usable) return Step::kNotUsed;
    if (!m_reader) {
      m_total = answer.total;
      m_reader.emplace(
          m_total, [this](const FramesTable& table) { return Begin(table); },
          [this](std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
            return m_file.Put(offset, reinterpret_cast<const char*>(data), size);
          },
          // On a fast link one thread's inflate is slower than the wire.
          FrameDecodeHelpers(std::thread::hardware_concurrency()));
    }
    // A whole form where a range was asked for passes over what came before.
    std::uint64_t offset = answer.first;
    bool refused = false;
    const BodyResult body = ReadBody(
        request,
        [&](const char* data, DWORD count) {
          m_context.networkBytes += count;
          if (count == 0) return true;
          // Bytes past the answer's end, or a gap before what the reader needs next.
          const std::uint64_t next = m_reader->Next();
          refused = count > answer.end - offset || offset > next;
          const std::uint64_t skip = refused ? 0 : std::min<std::uint64_t>(next - offset, count);
          if (!refused && skip < count) refused = m_reader->Feed(data + skip, count - skip) == FormReader::State::kBad;
          offset += count;
          return !refused;
        },
        m_context.stop, kFormReadSize);
    if (body == BodyResult::kReadFailed || StopRequested(m_context.stop)) return Broken("InternetReadFileFail\n");
    return refused || m_reader->Current() == FormReader::State::kBad ? Step::kNotUsed : Step::kGoOn;
  }

  bool Begin(const FramesTable& table) {
    if (!m_file.Begin(table.header.length, std::move(m_kept), 0)) return false;
    m_context.length = table.header.length;
    m_context.answered = true;
    return true;
  }

  Step Broken(const char* diagnostic) {
    m_diagnostic = diagnostic;
    return Step::kBroken;
  }

  const DeltaContext& m_context;
  const std::wstring& m_url;
  KeptPrefix m_kept;
  const bool m_ranges;
  TemporaryFile m_file;
  std::optional<FormReader> m_reader;
  std::uint64_t m_total = 0;
  const char* m_diagnostic = nullptr;
};

}  // namespace

std::wstring FramesUrl(const std::wstring& updateUrl, const std::wstring& name) {
  return updateUrl + kFramesFolder + L"/" + UrlPathOf(name);
}

std::optional<std::wstring> FetchListText(const InternetHandle& root, const std::wstring& url, std::uint64_t largest,
                                          StopSignal* stop, std::atomic<std::uint64_t>& networkBytes) {
  const auto body = FetchSmallBody(root, url, largest, stop, networkBytes);
  if (!body || body->empty()) return std::nullopt;
  const std::string& bytes = *body;
  // Read as the manifest is: its names are the manifest's, byte for byte.
  const int count = ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (count <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(count), L'\0');
  ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), count);
  return PrepareManifestText(wide);
}

ManifestTable FetchFormNames(const InternetHandle& root, const std::wstring& updateUrl, StopSignal* stop,
                             std::atomic<std::uint64_t>& networkBytes) {
  const auto text = FetchListText(root, updateUrl + kFormListName, kLargestFormList, stop, networkBytes);
  return text ? ReadManifestTable(*text) : ManifestTable();
}

std::optional<FramesTable> FetchFramesTable(const DeltaContext& context, const std::wstring& formUrl,
                                            std::uint64_t fileLength) {
  std::string head;
  std::uint64_t total = 0;
  // The head as the tool writes it for a file of this length: a delta pays
  // for these bytes whatever the frames then save.
  FramesHeader expected;
  expected.length = fileLength;
  expected.frameSize = kWriterFrameSize;
  std::uint64_t wanted = std::min(expected.HeadLength(), kLargestFramesHead);
  for (int request = 0; request < 2; ++request) {
    const std::uint64_t at = head.size();
    UrlRequest url = OpenUrlHandle(context.root, formUrl, RangesHeader({ByteRange{at, wanted - 1}}), context.stop);
    if (!url) return std::nullopt;
    const FormAnswer answer = ReadAnswer(url, at, total);
    // A 200 is the whole form: more than a head is worth here.
    if (!answer.usable || answer.first != at || answer.end - at > wanted - at) return std::nullopt;
    total = answer.total;
    const BodyResult body = ReadBody(
        url,
        [&](const char* data, DWORD count) {
          context.networkBytes += count;
          if (count > answer.end - head.size()) return false;
          head.append(data, count);
          return true;
        },
        context.stop);
    if (body != BodyResult::kComplete || head.size() != answer.end) return std::nullopt;
    const auto header = ParseFramesHeader(head);
    if (!header || header->length != fileLength || header->HeadLength() > kLargestFramesHead) return std::nullopt;
    if (head.size() >= header->HeadLength()) return ParseFramesTable(head, total, fileLength);
    wanted = header->HeadLength();
  }
  return std::nullopt;
}

DeltaResult ReceiveByFrames(const DeltaContext& context, const std::wstring& formUrl,
                            const std::wstring& temporary, const std::wstring& name, bool ranges) {
  KeptPrefix kept;
  if (ranges) {
    bool stopped = false;
    kept = ReadKeptPrefix(temporary, context.stop, stopped);
    if (stopped) {
      DeltaResult result;
      result.outcome = DeltaOutcome::kFailed;  // the prefix stays as it is
      result.diagnostic = "InternetReadFileFail\n";
      return result;
    }
  }
  return FormFetch(context, formUrl, temporary, name, std::move(kept), ranges).Run();
}
