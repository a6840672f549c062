// SingleInstance: the claim on one installation folder, whichever path names
// it. A mutex is held per thread, so the competing updater is another thread.
#include "app/single_instance_win.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <thread>

#include "support/win_test_support.h"

namespace {

bool FirstOnAnotherThread(const std::wstring& folder) {
  bool first = true;
  std::thread([&] { first = SingleInstance(folder).IsFirst(); }).join();
  return first;
}

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_root = MakeTempFolder(L"si");
    // A name that is no 8.3 name, so the folder has a short name unlike it.
    m_folder = m_root + L"installation folder.long";
    ASSERT_TRUE(::CreateDirectoryW(m_folder.c_str(), nullptr));
  }
  void TearDown() override { RemoveTree(m_root); }

  std::wstring m_root, m_folder;
};

TEST_F(SingleInstanceTest, TheShortNameOfTheFolderMeetsTheSameClaim) {
  wchar_t shortPath[MAX_PATH] = {};
  ASSERT_NE(0u, ::GetShortPathNameW(m_folder.c_str(), shortPath, MAX_PATH));
  ASSERT_NE(m_folder, std::wstring(shortPath)) << "no short name to test with";

  const SingleInstance first(m_folder);
  ASSERT_TRUE(first.IsFirst());
  EXPECT_FALSE(FirstOnAnotherThread(shortPath));
  EXPECT_FALSE(FirstOnAnotherThread(m_folder));
}

TEST_F(SingleInstanceTest, AnotherFolderAndAReleasedClaimAreFree) {
  const std::wstring other = m_root + L"other";
  ASSERT_TRUE(::CreateDirectoryW(other.c_str(), nullptr));
  {
    const SingleInstance first(m_folder);
    ASSERT_TRUE(first.IsFirst());
    EXPECT_TRUE(FirstOnAnotherThread(other));
  }
  EXPECT_TRUE(FirstOnAnotherThread(m_folder));
}

TEST_F(SingleInstanceTest, AClaimThatCannotBeOpenedMeansAnotherRuns) {
  // How an elevated updater's claim can look to one that is not: there, and
  // refused.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1, &descriptor,
                                                                     nullptr));
  const UniqueLocalMemory descriptorOwner(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
  const UniqueKernelHandle other(
      ::CreateMutexExW(&attributes, SingleInstanceClaimName(m_folder).c_str(), 0, SYNCHRONIZE));
  ASSERT_TRUE(other);

  EXPECT_FALSE(FirstOnAnotherThread(m_folder));
}

}  // namespace
