// The fixture of the unique scratch name cases: a fresh folder of its own for each case.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace faxmail::test {

class AutoFileTest : public ::testing::Test {
 protected:
  std::string Folder() const { return NativePath(m_dir.Path() + "/"); }
  TempDir m_dir;
};

}  // namespace faxmail::test
