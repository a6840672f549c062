#include <curl/curl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/my_fun.h"
#include "manifest/manifest_reader.h"
#include "manifest/md5.h"
#include "publisher/check_server.h"
#include "publisher/code_page.h"
#include "publisher/lint.h"
#include "publisher/signature_report.h"
#include "publisher/text.h"
#include "publisher/text_mode.h"
#include "publisher/tool_error.h"
#include "transfer/byte_ranges.h"
#include "transfer/delta_index.h"
#include "transfer/download_policy.h"
#include "transfer/frames.h"
#include "transfer/name_safety.h"
#include "transfer/pack.h"
#include "transfer/url_path.h"

namespace {

// The dialog's words for each kind of trouble, as README's table gives them.
constexpr char kFetchFails[] =
    "\"更新信息获取失败,请检测网络是否正常!\" — nothing is compared or downloaded";
constexpr char kUpToDate[] = "\"程序已经是最新版,不需要更新.\" — nothing is compared";
constexpr char kRunFails[] =
    "\"下载更新文件失败,请检测网络是否正常.\" and the button \"重新更新\"; partial files continue next time";
constexpr char kRowFails[] =
    "that file's row reads \"文件下载失败\"; the old file stays and the next run fetches it again";
constexpr char kNoResume[] = "nothing at first; a download that breaks off starts that file over next time";
constexpr char kLogEmpty[] = "the update-log box stays empty";
constexpr char kLogErrorPage[] = "the update-log box shows the error page's text";
constexpr char kLintSays[] = "what the line's message says";
constexpr char kFetchedWhole[] = "that file is fetched whole; nothing else changes";
constexpr char kFetchedRaw[] = "that file's own bytes are fetched instead of its form; nothing else changes";
constexpr char kFetchedByName[] = "that file is fetched by its own name instead; nothing else changes";
constexpr char kPackedFetchedByName[] = "those files are fetched by their own names instead; nothing else changes";

// The updater's waits: connecting and every wait for more of an answer end
// after 30 s, and a body that brings less than 1 KiB in 30 s is given up.
constexpr long kWaitSeconds = 30;
constexpr long kSlowBodyBytes = 1024;
constexpr int kInFlight = 4;
constexpr std::size_t kLargestKeptBody = 256u << 20;
constexpr std::size_t kLargestSignature = 4096;
constexpr std::size_t kLargestIndex = 8u << 20;  // as the updater reads one

enum class Body { kKeep, kHash, kHeadersOnly, kForm };

// A compressed form checked as it arrives: its table read as soon as it is
// there, then every frame decoded in turn and the decoded bytes hashed, so
// memory stays the table and one frame whatever the file's size.
class FormCheck {
 public:
  FormCheck(std::uint64_t fileLength, std::uint64_t formLength)
      : m_fileLength(fileLength), m_formLength(formLength) {}

  // False once the form is known to be wrong; the reason is kept.
  bool Add(const char* data, std::size_t size) {
    while (size > 0 && m_problem.empty()) {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, Wanted() - m_buffer.size()));
      m_buffer.append(data, take);
      data += take;
      size -= take;
      if (m_buffer.size() == Wanted()) Step();
    }
    return m_problem.empty();
  }

  // Empty when the form decodes to exactly the bytes whose MD5 is fileMd5.
  std::string Problem(const std::string& fileMd5) {
    if (!m_problem.empty()) return m_problem;
    if (!m_table || m_frame < m_table->Frames()) return "ends before its last frame";
    if (Md5::ToHex(m_md5.Final()) != fileMd5) return "decodes to other bytes than the file served";
    return std::string();
  }

 private:
  std::uint64_t Wanted() const {
    if (!m_header) return kFramesHeaderSize;
    if (!m_table) return m_header->HeadLength();
    return m_frame < m_table->Frames() ? m_table->Range(m_frame).storedSize : 0;
  }

  void Step() {
    if (!m_header) {
      m_header = ParseFramesHeader(m_buffer);
      if (!m_header) {
        m_problem = "is no compressed form (its header does not read)";
      } else if (m_header->length != m_fileLength) {
        m_problem = "describes a file of " + std::to_string(m_header->length) + " bytes, not the " +
                    std::to_string(m_fileLength) + " served (made for another release?)";
      } else if (m_header->HeadLength() > m_formLength) {
        m_problem = "is shorter than its own frame table";
      }
      return;
    }
    if (!m_table) {
      m_table = ParseFramesTable(m_buffer, m_formLength, m_fileLength);
      if (!m_table) m_problem = "has a frame table that does not add up to its Content-Length";
      m_buffer.clear();
      if (m_table) m_decoder = std::make_unique<FrameDecoder>(*m_table);
      return;
    }
    const FrameRange range = m_table->Range(m_frame);
    m_decoded.resize(range.decodedLength);
    if (!m_decoder->Decode(m_frame, m_buffer, m_decoded.data(), m_decoded.size())) {
      m_problem = "frame " + std::to_string(m_frame) + " (bytes " + std::to_string(range.fileOffset) + " to " +
                  std::to_string(range.fileOffset + range.decodedLength - 1) + ") does not decode to its entry";
      return;
    }
    m_md5.Update(reinterpret_cast<const char*>(m_decoded.data()), m_decoded.size());
    m_buffer.clear();
    ++m_frame;
  }

  std::uint64_t m_fileLength, m_formLength;
  std::string m_buffer;
  std::optional<FramesHeader> m_header;
  std::optional<FramesTable> m_table;
  std::unique_ptr<FrameDecoder> m_decoder;
  std::vector<std::uint8_t> m_decoded;
  std::uint64_t m_frame = 0;
  Md5 m_md5;
  std::string m_problem;
};

struct Answer {
  CURLcode code = CURLE_OK;
  std::string error;
  long status = 0;
  std::optional<std::uint64_t> length;
  bool chunked = false;
  std::string encoding;  // Content-Encoding, lower case
  std::string body;      // Body::kKeep
  std::uint64_t received = 0;
  std::string md5;       // Body::kHash: of the bytes the updater keeps
  std::string index;     // Body::kHash, 1 MiB or more: the delta index those bytes should have
  std::string formProblem;  // Body::kForm: empty when the form decodes to the file served
  bool stopped = false;  // we ended it after the headers on purpose

  bool Reached() const { return code == CURLE_OK || stopped; }
};

struct Transfer {
  Body mode;
  std::size_t keepLimit;
  Answer answer;
  Md5 md5;
  std::unique_ptr<DeltaIndexWriter> index;
  std::unique_ptr<FormCheck> form;
  std::uint64_t fileLength = 0;  // Body::kForm: the file served, as the form must decode to it
  std::string fileMd5;
  CURL* curl = nullptr;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

size_t OnHeader(char* data, size_t size, size_t count, void* context) {
  auto& answer = static_cast<Transfer*>(context)->answer;
  const std::string line(data, size * count);
  if (line.compare(0, 5, "HTTP/") == 0) {  // each answer of a redirect chain starts over
    answer.length.reset();
    answer.chunked = false;
    answer.encoding.clear();
    return size * count;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos) return size * count;
  const std::string name = Lower(Trimmed(line.substr(0, colon)));
  const std::string value = Trimmed(line.substr(colon + 1));
  if (name == "content-length") {
    char* end = nullptr;
    const unsigned long long length = std::strtoull(value.c_str(), &end, 10);
    if (!value.empty() && *end == '\0') answer.length = length;
  } else if (name == "transfer-encoding") {
    answer.chunked = Lower(value).find("chunked") != std::string::npos;
  } else if (name == "content-encoding") {
    answer.encoding = Lower(value);
  }
  return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* context) {
  auto& transfer = *static_cast<Transfer*>(context);
  Answer& answer = transfer.answer;
  const std::size_t bytes = size * count;
  if (transfer.mode == Body::kHeadersOnly) {
    answer.stopped = true;
    return 0;  // the headers are all that is asked; ends the transfer
  }
  // Like the updater, keep no more than the announced length.
  std::size_t keep = bytes;
  if (answer.length) keep = static_cast<std::size_t>(std::min<std::uint64_t>(
                         keep, *answer.length - std::min(*answer.length, answer.received)));
  answer.received += bytes;
  if (transfer.mode == Body::kForm) {
    // Only a 200 with a length is a form to check; anything else is reported by its status.
    if (answer.status == 0) curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &answer.status);
    if (answer.status != 200 || !answer.length) return bytes;
    if (!transfer.form) transfer.form = std::make_unique<FormCheck>(transfer.fileLength, *answer.length);
    return transfer.form->Add(data, keep) ? bytes : 0;
  }
  if (transfer.mode == Body::kHash) {
    transfer.md5.Update(data, keep);
    if (!transfer.index && answer.length && *answer.length >= kDeltaMinLength && answer.received == bytes) {
      transfer.index = std::make_unique<DeltaIndexWriter>(*answer.length);
    }
    if (transfer.index) transfer.index->Add(data, keep);
  } else {
    if (answer.body.size() + bytes > transfer.keepLimit) {
      answer.error = "longer than " + std::to_string(transfer.keepLimit) + " bytes";
      return 0;
    }
    answer.body.append(data, bytes);
  }
  return bytes;
}

// "Agent%ld" of the milliseconds since start-up, as the updater names itself.
std::string AgentHeader() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
  return "User-Agent: Agent" + std::to_string(static_cast<std::int32_t>(ms));
}

Answer Get(const std::string& url, const std::string& header, Body mode, std::size_t keepLimit = kLargestKeptBody,
           std::uint64_t fileLength = 0, const std::string& fileMd5 = std::string()) {
  Transfer transfer{mode, keepLimit, {}, {}, nullptr, nullptr, fileLength, fileMd5, nullptr};
  CURL* curl = curl_easy_init();
  transfer.curl = curl;
  if (!curl) {
    transfer.answer.code = CURLE_FAILED_INIT;
    transfer.answer.error = "cannot start libcurl";
    return transfer.answer;
  }
  curl_slist* headers = nullptr;
  for (const std::string& line : {header, AgentHeader(), std::string("Pragma: no-cache"),
                                  std::string("Cache-Control: no-cache")}) {
    headers = curl_slist_append(headers, line.c_str());
  }
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);  // what WinINet speaks
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);                   // WinINet follows redirects too
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kWaitSeconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kSlowBodyBytes / kWaitSeconds + 1);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kWaitSeconds);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  Answer& answer = transfer.answer;
  answer.code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  if (answer.code != CURLE_OK && !answer.stopped && answer.error.empty()) {
    answer.error = error[0] ? error : curl_easy_strerror(answer.code);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  if (mode == Body::kHash) answer.md5 = Md5::ToHex(transfer.md5.Final());
  if (transfer.index) answer.index = transfer.index->Finish();
  if (transfer.form) {
    answer.formProblem = transfer.form->Problem(fileMd5);
  } else if (mode == Body::kForm && answer.status == 200 && !answer.length) {
    answer.formProblem = "answers without Content-Length, so its frames cannot be fetched by ranges";
  } else if (mode == Body::kForm && answer.status == 200) {
    answer.formProblem = "is empty";
  }
  return answer;
}

std::string LengthText(const Answer& answer) {
  if (answer.chunked) return "chunked, no Content-Length";
  return answer.length ? "Content-Length " + std::to_string(*answer.length) : "no Content-Length";
}

struct Problem {
  std::string where;
  std::string what;
  const char* users;
};

class Report {
 public:
  void Fact(const std::string& where, const std::string& text) { m_lines.push_back(where + ": " + text); }
  void Warn(const std::string& where, const std::string& text) {
    m_lines.push_back(where + ": warning: " + text);
    ++m_warnings;
  }
  void Add(const std::string& where, const std::string& what, const char* users) {
    m_lines.push_back(where + ": " + what);
    m_problems.push_back({where, what, users});
  }
  bool Print(const std::string& base, std::size_t files) const {
    for (const std::string& line : m_lines) std::printf("%s\n", line.c_str());
    if (!m_problems.empty()) std::printf("\nwhat users see:\n");
    for (const Problem& p : m_problems) std::printf("%s: %s -> %s\n", p.where.c_str(), p.what.c_str(), p.users);
    std::printf("%s: %zu file(s) listed, %zu problem(s), %zu warning(s)\n", base.c_str(), files, m_problems.size(),
                m_warnings);
    return m_problems.empty();
  }

 private:
  std::vector<std::string> m_lines;
  std::vector<Problem> m_problems;
  std::size_t m_warnings = 0;
};

// UPDATER_SERVER alone gets the updater's fixed path; a URL with a path is
// taken as the base URL itself.
std::string BaseUrlOf(const std::string& url) {
  const std::size_t scheme = url.find("://");
  const std::string lowered = Lower(url.substr(0, scheme == std::string::npos ? 0 : scheme));
  if (scheme == std::string::npos || (lowered != "http" && lowered != "https") || url.size() == scheme + 3) {
    throw ToolError("URL must start with http:// or https:// and name a host, got \"" + url + "\"");
  }
  const std::size_t path = url.find('/', scheme + 3);
  if (path == std::string::npos || path + 1 == url.size()) return url.substr(0, path) + "/Velmora/Qyr/Test/";
  return url.back() == '/' ? url : url + "/";
}

struct FileCheck {
  std::wstring name;
  std::wstring digest;
  bool first = false;  // the run's range probe goes to it
  Answer probe;
  Answer get;
  Answer index;  // with --full, for a file of 1 MiB or more
  Answer form;   // with --full, for a file of 4 KiB or more
  bool listed = false;  // UpDate.frames.ini names it: clients ask for its form
  // With --full, UpDate.pack.ini's entry for it where the pack answers as
  // the table says, so clients take it from there; and that range's answer.
  std::optional<PackEntry> packed;
  Answer packRange;
};

void CheckFile(const std::string& base, bool full, FileCheck& file) {
  const std::string path = WideToUtf8(UrlPathOf(file.name));
  const std::string url = base + "Update/" + path;
  file.probe = Get(url, "Range: bytes=1-1", Body::kHeadersOnly);
  file.get = Get(url, "Accept: */*", full ? Body::kHash : Body::kHeadersOnly);
  if (!file.get.index.empty()) {
    file.index = Get(base + "Update/" + WideToUtf8(kDeltaFolder) + "/" + path, "Accept: */*", Body::kKeep,
                     kLargestIndex);
  }
  const Answer& get = file.get;
  if (full && get.code == CURLE_OK && get.status == 200 && get.length && get.received == *get.length &&
      *get.length >= kFramesMinLength) {
    file.form = Get(base + "Update/" + WideToUtf8(kFramesFolder) + "/" + path, "Accept: */*", Body::kForm, 0,
                    *get.length, get.md5);
  }
  if (file.packed) {
    const ByteRange range{file.packed->offset, file.packed->End() - 1};
    file.packRange = Get(base + "Update/" + WideToUtf8(kPackName), Trimmed(WideToUtf8(RangesHeader({range}))),
                         Body::kKeep, static_cast<std::size_t>(file.packed->stored));
  }
}

// A compressed form, decoded frame by frame against the file served: none
// (404) is fine, forms are optional; one that does not decode to the file
// costs clients a fetch of the file's own bytes.
void ReportForm(const std::string& where, const FileCheck& file, std::string& fact, Report& report) {
  const Answer& form = file.form;
  if (form.status == 0 && form.code == CURLE_OK && form.error.empty()) return;  // not asked for
  if (form.Reached() && form.status == 404 && file.listed) {
    report.Add(where + " (compressed form)", std::string("is listed in ") + WideToUtf8(kFormListName) +
               " but answers 404", kFetchedRaw);
  } else if (form.Reached() && form.status == 404) {
    if (!fact.empty()) fact += ", no compressed form";
  } else if (form.status != 200 || (!form.Reached() && form.formProblem.empty())) {
    report.Add(where + " (compressed form)",
               "answers " + (form.status != 0 ? std::to_string(form.status) : "nothing (" + form.error + ")"),
               kFetchedRaw);
  } else if (!form.formProblem.empty()) {
    report.Add(where + " (compressed form)", form.formProblem, kFetchedRaw);
  } else if (!file.listed) {
    report.Warn(where + " (compressed form)", std::string("decodes to the file but ") + WideToUtf8(kFormListName) +
                " does not list it, so clients never ask for it (generate --compress writes both)");
  } else if (!fact.empty()) {
    fact += ", compressed form matches";
  }
}

// A packed file, decoded from its range of the pack against the file served:
// one whose entry is stale or that does not decode to the file costs
// clients a fetch by its own name.
void ReportPacked(const std::string& where, const FileCheck& file, std::string& fact, Report& report) {
  if (!file.packed) return;
  const PackEntry& entry = *file.packed;
  const Answer& range = file.packRange;
  const std::string packed = where + " (packed)";
  const std::string ofPack = "its range of " + WideToUtf8(kPackName);
  std::optional<std::string> bytes;
  if (!EntryMatchesManifest(entry, file.digest)) {
    report.Add(packed, "its MD5 in " + WideToUtf8(kPackTableName) + " differs from the manifest's (made for another "
               "release?)", kFetchedByName);
  } else if (range.status != 206) {
    report.Add(packed, ofPack + " answers " + (range.status != 0 ? std::to_string(range.status) + " instead of 206"
                                                                 : "nothing (" + range.error + ")"),
               kFetchedByName);
  } else if (!range.Reached()) {
    report.Add(packed, ofPack + " breaks off: " + range.error, kFetchedByName);
  } else if (!(bytes = UnpackEntry(entry, range.body))) {
    report.Add(packed, ofPack + " does not decode to the " + std::to_string(entry.length) + " bytes its entry gives",
               kFetchedByName);
  } else if (Md5::HexOf(*bytes) != file.get.md5) {
    report.Add(packed, "decodes to other bytes than the file served", kFetchedByName);
  } else if (!fact.empty()) {
    fact += ", packed copy matches";
  }
}

// A list clients read once a run, as prepared text; nothing, with a fact
// saying what clients do then, when it is not served.
std::optional<std::wstring> ListText(const std::string& base, const std::string& where, const CodePage& codePage,
                                     std::size_t keepLimit, const std::string& without, Report& report) {
  const Answer list = Get(base + where, "Accept: */*", Body::kKeep, keepLimit);
  if (!list.Reached() || list.status != 200) {
    report.Fact(where, (list.Reached() ? "answers " + std::to_string(list.status) : std::string("cannot be fetched")) +
                           ": " + without);
    return std::nullopt;
  }
  return PreparedTextOf(list.body, codePage);
}

// The list of forms clients read once a run: which files' forms they ask for.
void CheckFormList(const std::string& base, const CodePage& codePage, std::vector<FileCheck>& files,
                   Report& report) {
  const std::string where = "Update/" + WideToUtf8(kFormListName);
  const auto text = ListText(base, where, codePage, kLargestKeptBody, "clients ask for no form", report);
  if (!text) return;
  const ManifestTable listed = ReadManifestTable(*text);
  for (FileCheck& file : files) file.listed = listed.count(file.name) != 0;
  report.Fact(where, std::to_string(listed.size()) + " compressed form(s) listed");
}

// The pack's table, read once a run as clients read it, and the pack's own
// answer: clients take the files the table lists from the pack only when it
// answers with the length the table gives.
void CheckPack(const std::string& base, const CodePage& codePage, std::vector<FileCheck>& files, Report& report) {
  const std::string where = "Update/" + WideToUtf8(kPackTableName);
  const auto text = ListText(base, where, codePage, kLargestPackTable, "clients take no file from the pack", report);
  if (!text) return;
  const std::optional<PackTable> table = ReadPackTable(*text);
  if (!table) {
    report.Add(where, "has no " + WideToUtf8(kPackName) + " line, so clients take no file from the pack",
               kPackedFetchedByName);
    return;
  }
  report.Fact(where, std::to_string(table->entries.size()) + " packed file(s) listed, " +
                         PackLengthText(table->length) + " bytes of " + WideToUtf8(kPackName));
  // Every named line after the pack's that clients read as no entry.
  const std::size_t names = ReadManifestTable(*text).size();
  if (names > table->entries.size() + 1) {
    report.Add(where,
               std::to_string(names - 1 - table->entries.size()) +
                   " line(s) that clients leave out (not an exact entry within the pack, or a name listed twice)",
               kPackedFetchedByName);
  }
  if (table->entries.empty()) return;
  const std::string packWhere = "Update/" + WideToUtf8(kPackName);
  const Answer pack = Get(base + packWhere, "Accept: */*", Body::kHeadersOnly);
  const std::string listing = " although " + WideToUtf8(kPackTableName) + " lists " +
                              std::to_string(table->entries.size()) + " file(s) in it";
  if (!pack.Reached()) {
    report.Add(packWhere, "cannot be fetched (" + pack.error + ")" + listing, kPackedFetchedByName);
  } else if (pack.status != 200) {
    report.Add(packWhere, "answers " + std::to_string(pack.status) + listing, kPackedFetchedByName);
  } else if (!pack.length) {
    report.Add(packWhere, "answers without Content-Length, so its ranges cannot be asked for", kPackedFetchedByName);
  } else if (*pack.length != table->length) {
    report.Add(packWhere, "is " + std::to_string(*pack.length) + " bytes, not the " + PackLengthText(table->length) +
                              " " + WideToUtf8(kPackTableName) + " gives (made for another release?)",
               kPackedFetchedByName);
  } else {
    for (FileCheck& file : files) {
      const auto entry = table->entries.find(file.name);
      if (entry != table->entries.end()) file.packed = entry->second;
    }
  }
}

// A delta index as clients read it: none (404) is fine, one that does not
// describe the served file costs them a whole download.
void ReportIndex(const std::string& where, const FileCheck& file, std::string& fact, Report& report) {
  const Answer& index = file.index;
  if (file.get.index.empty()) return;
  if (index.Reached() && index.status == 404) {
    if (!fact.empty()) fact += ", no delta index";
  } else if (!index.Reached() || index.status != 200) {
    report.Add(where + " (delta index)",
               "answers " + (index.Reached() ? std::to_string(index.status) : "nothing (" + index.error + ")"),
               kFetchedWhole);
  } else if (index.body != file.get.index) {
    report.Add(where + " (delta index)", "does not describe the file served (made for another release?)",
               kFetchedWhole);
  } else if (!fact.empty()) {
    fact += ", delta index matches";
  }
}

void ReportFile(const FileCheck& file, bool full, Report& report) {
  const std::string where = "Update/" + Printable(file.name);
  if (!IsSafeRelativeName(file.name)) {
    report.Add(where, "a name that would leave the installation folder; updaters never request it", kRowFails);
    return;
  }
  const Answer& probe = file.probe;
  const Answer& get = file.get;
  if (file.first && probe.Reached() && probe.status == 404) {
    report.Add(where, "answers 404 to the range probe, which goes to the first file of a run", kRunFails);
    return;
  }
  if (get.code == CURLE_PARTIAL_FILE && get.status == 200 && get.length) {
    // A clean end before the announced length: the updater fails only that row.
    report.Add(where,
               "body of " + std::to_string(get.received) + " bytes, shorter than its Content-Length " +
                   std::to_string(*get.length),
               kRowFails);
    return;
  }
  if (!get.Reached()) {
    report.Add(where, "cannot be fetched: " + get.error, kRunFails);
    return;
  }
  if (get.status != 200) {
    report.Add(where, "answers " + std::to_string(get.status) + " instead of the file", kRowFails);
    return;
  }
  std::string fact = "200, " + LengthText(get);
  if (!get.length) {
    report.Fact(where, fact);
    report.Add(where, get.chunked ? "answers chunked, without Content-Length" : "answers without Content-Length",
               kRunFails);
    return;
  }
  if (!get.encoding.empty() && get.encoding != "identity") {
    report.Fact(where, fact);
    report.Add(where, "answers compressed (Content-Encoding: " + get.encoding +
                          ") although the updater asks for no encoding; the bytes are not the file's",
               kRowFails);
    return;
  }
  if (probe.Reached() && (probe.status == 206 || probe.status == 416)) {
    fact += ", ranges honoured";
  } else if (probe.Reached() && probe.status == 200) {
    report.Fact(where, fact);
    report.Add(where, "ignores the range probe (Range: bytes=1-1 answered 200 with the whole file)", kNoResume);
    fact.clear();
  } else {
    fact += ", range probe answered " +
            (probe.Reached() ? std::to_string(probe.status) : "nothing (" + probe.error + ")");
  }
  if (full) {
    if (get.received < *get.length) {
      if (!fact.empty()) report.Fact(where, fact);
      report.Add(where,
                 "body of " + std::to_string(get.received) + " bytes, shorter than its Content-Length " +
                     std::to_string(*get.length),
                 kRowFails);
      return;
    }
    const DigestVerdict verdict = DigestVerdictOf(&file.digest, get.md5);
    if (verdict == DigestVerdict::kDiffers) {
      if (!fact.empty()) report.Fact(where, fact);
      report.Add(where, "MD5 " + get.md5 + " differs from the manifest's " + Printable(file.digest), kRowFails);
      return;
    }
    if (!fact.empty()) fact += verdict == DigestVerdict::kMatches ? ", MD5 matches" : ", MD5 not checkable";
    ReportIndex(where, file, fact, report);
    ReportForm(where, file, fact, report);
    ReportPacked(where, file, fact, report);
  }
  if (!fact.empty()) report.Fact(where, fact);
}

// Fetches the files kInFlight at a time, showing how far it got on a terminal.
void CheckFiles(const std::string& base, bool full, std::vector<FileCheck>& files, std::FILE* progress) {
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> done{0};
  std::mutex shown;
  const auto work = [&] {
    for (std::size_t i; (i = next++) < files.size();) {
      if (IsSafeRelativeName(files[i].name)) CheckFile(base, full, files[i]);
      const std::size_t count = ++done;
      if (progress) {
        const std::lock_guard<std::mutex> lock(shown);
        std::fprintf(progress, "\rchecked %zu of %zu files", count, files.size());
        std::fflush(progress);
      }
    }
  };
  std::vector<std::thread> workers;
  for (int i = 0; i < kInFlight && static_cast<std::size_t>(i) < files.size(); ++i) workers.emplace_back(work);
  for (std::thread& worker : workers) worker.join();
  if (progress && !files.empty()) std::fprintf(progress, "\n");
}

// Returns the listed files, or nothing when the check ends at the manifest.
std::optional<std::vector<FileCheck>> CheckManifest(const CheckServerRequest& request, const std::string& base,
                                                    Report& report) {
  const std::string where = "Update/UpDate.ini";
  const Answer manifest = Get(base + "Update/UpDate.ini", "Accept: */*", Body::kKeep);
  if (manifest.code != CURLE_OK) {
    const bool cut = manifest.code == CURLE_PARTIAL_FILE;
    report.Add(where, cut ? "cut off after " + std::to_string(manifest.received) + " of " + LengthText(manifest)
                          : "cannot be fetched: " + manifest.error,
               kFetchFails);
    return std::nullopt;
  }
  if (manifest.status != 200) {
    report.Add(where, "answers " + std::to_string(manifest.status), kFetchFails);
    return std::nullopt;
  }
  report.Fact(where, "200, " + LengthText(manifest) + ", " + std::to_string(manifest.body.size()) + " bytes");

  if (!request.publicKey.empty()) {
    const std::string sigWhere = where + ".sig";
    const Answer signature = Get(base + "Update/UpDate.ini.sig", "Accept: */*", Body::kKeep, kLargestSignature);
    if (signature.code != CURLE_OK) {
      report.Add(sigWhere, "cannot be fetched whole: " + signature.error, kFetchFails);
      return std::nullopt;
    }
    if (signature.status != 200) {
      report.Add(sigWhere, "answers " + std::to_string(signature.status), kFetchFails);
      return std::nullopt;
    }
    const SignatureReport checked =
        ReportSignature(request.publicKey, manifest.body, signature.body, request.now);
    for (const std::string& fact : checked.facts) report.Fact(sigWhere, fact);
    for (const std::string& warning : checked.warnings) report.Warn(sigWhere, warning);
    for (const std::string& problem : checked.problems) report.Add(sigWhere, problem, kFetchFails);
    if (!checked.problems.empty()) return std::nullopt;
  }

  const CodePage codePage(request.codePage);
  const std::wstring text = PreparedTextOf(manifest.body, codePage);
  if (text.find(L'\t') == std::wstring::npos) {
    report.Add(where, "holds no TAB, so no entry", kUpToDate);
    return std::nullopt;
  }
  for (const LintProblem& problem : LintManifest(manifest.body, codePage)) {
    report.Add(where + ":" + std::to_string(problem.line), problem.message, kLintSays);
  }
  const ManifestTable table = ReadManifestTable(text);
  std::vector<FileCheck> files;
  // A new installation's list: every entry, in the order a run takes them.
  for (std::wstring& name : CMyFun::CompareManifests(text, L"\n")) {
    FileCheck file;
    const auto entry = table.find(name);
    if (entry != table.end()) file.digest = entry->second;
    file.name = std::move(name);
    files.push_back(std::move(file));
  }
  report.Fact(where, std::to_string(files.size()) + " file(s) listed");
  const auto first = std::find_if(files.begin(), files.end(),
                                  [](const FileCheck& file) { return IsSafeRelativeName(file.name); });
  if (first != files.end()) first->first = true;
  return files;
}

void CheckUpdateLog(const std::string& base, Report& report) {
  const std::string where = "UpdateLog/UpdateLog.ini";
  const Answer log = Get(base + "UpdateLog/UpdateLog.ini", "Accept: */*", Body::kKeep);
  if (!log.Reached()) {
    report.Add(where, "cannot be fetched: " + log.error, kLogEmpty);
  } else if (log.status == 404) {
    report.Add(where, "answers 404", kLogEmpty);
  } else if (!log.length) {
    report.Add(where, "answers " + std::to_string(log.status) + " without Content-Length", kLogEmpty);
  } else if (log.status != 200) {
    report.Add(where, "answers " + std::to_string(log.status), kLogErrorPage);
  } else {
    report.Fact(where, "200, " + LengthText(log));
  }
}

}  // namespace

bool CheckServer(const CheckServerRequest& request) {
  const std::string base = BaseUrlOf(request.url);
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw ToolError("cannot start libcurl");
  Report report;
  std::optional<std::vector<FileCheck>> files = CheckManifest(request, base, report);
  if (files) {
    if (request.full) {
      CheckFormList(base, CodePage(request.codePage), *files, report);
      CheckPack(base, CodePage(request.codePage), *files, report);
    }
    CheckFiles(base, request.full, *files, request.progress);
    for (const FileCheck& file : *files) ReportFile(file, request.full, report);
  }
  CheckUpdateLog(base, report);
  curl_global_cleanup();
  return report.Print(base, files ? files->size() : 0);
}
