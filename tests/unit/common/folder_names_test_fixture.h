// The fixture of the folder name mirror's cases: a folder of its own with OUT and a folder
// aside, and shell commands run in it as processes of their own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/dir_watch.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::test {

class FolderNamesTest : public ::testing::Test {
 protected:
  std::string Out() const { return NativePath(m_dir.Path() + "/OUT/"); }
  std::string Aside() const { return NativePath(m_dir.Path() + "/aside/"); }
  void SetUp() override {
    ASSERT_EQ(platform::CreateDirectory(m_dir.Path() + "/OUT"), 0);
    ASSERT_EQ(platform::CreateDirectory(m_dir.Path() + "/aside"), 0);
  }
  // A shell command run as a process of its own, in the test's folder.
  void Shell(const std::string& command) {
    ASSERT_EQ(RunProgram({"/bin/sh", "-c", "cd '" + m_dir.Path() + "' && " + command}), 0)
        << command;
  }
  // False where the system's backend keeps no watch of names: a mirror then lists the folder
  // at every question, which the cases that count its rebuilds cannot tell apart.
  bool NameWatchAvailable() const {
    platform::DirectoryWatch watch;
    return platform::DirectoryWatch::Open(Out(), watch, platform::DirectoryWatch::Events::Names) !=
           platform::kErrorNotSupported;
  }
  static constexpr char kNoNameWatch[] =
      "this system's backend keeps no watch of names: the mirror lists the folder instead";
  // False where symbolic links cannot be made (Wine): rows with them are left out there.
  bool LinksCanBeMade() const {
    std::error_code noLink;
    std::filesystem::create_symlink("nowhere", m_dir.Path() + "/probe-link", noLink);
    if (noLink && UnderWine()) return false;
    EXPECT_FALSE(noLink) << noLink.message();
    std::filesystem::remove(m_dir.Path() + "/probe-link", noLink);
    return true;
  }
  TempDir m_dir;
};

}  // namespace faxmail::test
