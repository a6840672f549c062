// The HTTP layer against the fault server: the request opened in steps is the
// request the one-call form sent, and no wait outlasts its bound, whether the
// server stays silent before its answer, in the middle of the body, or
// trickles a byte at a time.
#include <gtest/gtest.h>

#include <string>

#include "check/http_win.h"
#include "support/win_test_support.h"

namespace {

constexpr DWORD kWaitMs = 1500;

class HttpBoundsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ServerUrl().empty()) << "run through run_with_server.sh";
    m_path = std::string("/http/") +
             ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin";
    ServeBytes(m_path, std::string(100000, 'x'));
    SetFaults("");
    ClearRequestLog();
    SetNetworkWaitForTesting(kWaitMs);
  }
  void TearDown() override {
    SetNetworkWaitForTesting(0);
    SetFaults("");
    RemoveServed(m_path);
  }

  void Fault(const std::string& rule) {
    SetFaults(R"({"paths": {")" + m_path + R"(": )" + rule + "}}");
  }

  // Opens and reads the whole body; returns how long it took.
  DWORD Fetch(bool& opened, BodyResult& result, std::string& body) {
    const DWORD start = ::GetTickCount();
    InternetHandle root = OpenRootHandle(nullptr);
    const UrlRequest request =
        OpenUrlHandle(root, ServerUrl() + Utf8ToWide(m_path), kAcceptAllHeader, nullptr);
    opened = static_cast<bool>(request);
    if (opened) {
      result = ReadBody(
          request,
          [&](const char* data, DWORD count) {
            body.append(data, count);
            return true;
          },
          nullptr);
    }
    return ::GetTickCount() - start;
  }

  std::string m_path;
};

TEST_F(HttpBoundsTest, HealthyAnswerIsReadWholeWithTheUsualRequest) {
  bool opened = false;
  BodyResult result = BodyResult::kReadFailed;
  std::string body;
  Fetch(opened, result, body);
  ASSERT_TRUE(opened);
  EXPECT_EQ(BodyResult::kComplete, result);
  EXPECT_EQ(std::string(100000, 'x'), body);
  const auto requests = RequestsFor(m_path);
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("GET", JsonField(requests[0], "method"));
  EXPECT_EQ("*/*", JsonField(requests[0], "accept").substr(0, 3));
  EXPECT_EQ(0u, JsonField(requests[0], "user_agent").find("Agent"));
  EXPECT_EQ("", JsonField(requests[0], "range"));
}

TEST_F(HttpBoundsTest, ServerThatNeverAnswersFailsTheOpenWithinTheWait) {
  Fault(R"({"stall_before": 60})");
  bool opened = true;
  BodyResult result = BodyResult::kComplete;
  std::string body;
  const DWORD took = Fetch(opened, result, body);
  EXPECT_FALSE(opened);
  EXPECT_GE(took, kWaitMs - 100);
  EXPECT_LT(took, kWaitMs + 3000);
}

TEST_F(HttpBoundsTest, SilenceInTheMiddleOfTheBodyFailsTheReadWithinTheWait) {
  Fault(R"({"stall_after": {"bytes": 50000, "seconds": 60}})");
  bool opened = false;
  BodyResult result = BodyResult::kComplete;
  std::string body;
  const DWORD took = Fetch(opened, result, body);
  ASSERT_TRUE(opened);
  EXPECT_EQ(BodyResult::kReadFailed, result);
  EXPECT_EQ(std::string(50000, 'x'), body);  // what arrived was handed on
  EXPECT_LT(took, kWaitMs + 3000);
}

TEST_F(HttpBoundsTest, TricklingBodyIsGivenUpAfterAWindowTooSlow) {
  // Four bytes a second never trip a receive time-out, but bring far less
  // than the least a window must.
  Fault(R"({"trickle": {"after": 1000, "interval": 0.25}})");
  bool opened = false;
  BodyResult result = BodyResult::kComplete;
  std::string body;
  const DWORD took = Fetch(opened, result, body);
  ASSERT_TRUE(opened);
  EXPECT_EQ(BodyResult::kReadFailed, result);
  EXPECT_GT(body.size(), 1000u);  // trickled bytes were read as they came
  EXPECT_LT(body.size(), 1100u);
  EXPECT_GE(took, kWaitMs - 100);
  EXPECT_LT(took, 2 * kWaitMs + 3000);
}

}  // namespace
