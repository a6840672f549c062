#include "transfer/download_policy.h"

#include <initializer_list>
#include <cwchar>
#include <cwctype>
#include <limits>

#include "transfer/download_text.h"

ProbeVerdict ProbeVerdictOf(unsigned long status) {
  if (status == 206 || status == 416) return ProbeVerdict::kResume;
  if (status == 200) return ProbeVerdict::kWhole;
  if (status == 404) return ProbeVerdict::kMissing;
  return ProbeVerdict::kUndecided;
}

std::wstring RequestHeader(bool askRange, std::uint64_t offset) {
  return askRange ? RestOfFileHeader(offset) : std::wstring(L"Accept: */*\r\n\r\n");
}

AnswerDecision DecideAnswer(const FileAnswer& answer, bool askedRange, std::uint64_t offset,
                            bool firstAttempt) {
  if (answer.status == 200) {
    return {offset > 0 ? AnswerUse::kRewriteWhole : AnswerUse::kWriteWhole, answer.contentLength};
  }
  if (!askedRange) return {};
  const auto again = [&] { return AnswerDecision{firstAttempt ? AnswerUse::kAskAgainFromZero : AnswerUse::kRefuse, 0}; };
  if (answer.status == 206) {
    const std::optional<ContentRange>& range = answer.contentRange;
    if (!range || !ContinuesFileAt(*range, offset) || range->range.Length() != answer.contentLength) {
      return again();
    }
    return {AnswerUse::kAppend, range->total};
  }
  if (answer.status == 416) return again();
  return {};
}

bool IsCheckableDigest(const std::wstring* expected) {
  if (!expected || expected->size() != 32) return false;
  for (wchar_t c : *expected) {
    if (!std::iswxdigit(c)) return false;
  }
  return true;
}

DigestVerdict DigestVerdictOf(const std::wstring* expected, const std::string& actual) {
  if (!IsCheckableDigest(expected)) return DigestVerdict::kUnchecked;
  if (actual.size() != 32) return DigestVerdict::kDiffers;
  for (std::size_t i = 0; i < 32; ++i) {
    if (static_cast<wchar_t>(std::towlower((*expected)[i])) != static_cast<wchar_t>(actual[i])) {
      return DigestVerdict::kDiffers;
    }
  }
  return DigestVerdict::kMatches;
}

bool FlushBeforeInstall(const std::wstring& name, std::uint64_t length) {
  constexpr std::uint64_t kLargeFile = 4u << 20;
  if (length >= kLargeFile) return true;
  const auto dot = name.rfind(L'.');
  if (dot == std::wstring::npos || name.find_first_of(L"\\/", dot) != std::wstring::npos) {
    return false;
  }
  std::wstring extension = name.substr(dot + 1);
  for (wchar_t& c : extension) c = static_cast<wchar_t>(std::towlower(c));
  for (const wchar_t* code : {L"exe", L"dll", L"sys", L"ocx", L"cpl", L"scr", L"drv", L"com"}) {
    if (extension == code) return true;
  }
  return false;
}

std::wstring RowEndText(bool failed, std::uint64_t received, std::uint64_t reported) {
  return failed ? std::wstring(kRowFailedText) : SizeText(received, reported, true);
}

std::wstring TemporaryKey(const std::wstring& name) {
  std::wstring key = name;
  for (wchar_t& c : key) c = c == L'/' ? L'\\' : static_cast<wchar_t>(std::towupper(c));
  return key;
}

std::uint64_t RunBar::InFlightShare(std::uint64_t received, std::uint64_t reported) const {
  if (m_total <= 0) return 0;
  const std::uint64_t length = reported == 0 ? 1 : reported;
  const std::uint64_t kept = received < length ? received : length;
  const auto total = static_cast<std::uint64_t>(m_total);
  // kept <= length; the products are formed in 128 bits, as a file's length
  // times the number of files may pass 64.
  using Wide = unsigned __int128;
  return static_cast<std::uint64_t>(Wide{kept} * kRange / (Wide{length} * total));
}

int RunBar::Show(int done, std::uint64_t inFlight) {
  if (m_total <= 0) return m_shown;
  const std::int64_t finished = static_cast<std::int64_t>(done) * kRange / m_total;
  const std::uint64_t position = static_cast<std::uint64_t>(finished) + inFlight;
  const int capped = position < static_cast<std::uint64_t>(kRange) ? static_cast<int>(position) : kRange;
  if (capped > m_shown) m_shown = capped;
  return m_shown;
}

void RunRate::Add(std::uint32_t nowMs, std::uint64_t totalBytes) {
  m_samples.emplace_back(nowMs, totalBytes);
  // Keep one sample at or before the window's start as its base.
  while (m_samples.size() > 2 && nowMs - m_samples[1].first >= kWindowMs) m_samples.pop_front();
}

std::pair<std::uint64_t, std::uint32_t> RunRate::Window() const {
  if (m_samples.size() < 2) return {0, 0};
  const auto& first = m_samples.front();
  const auto& last = m_samples.back();
  return {last.second - first.second, last.first - first.first};
}
