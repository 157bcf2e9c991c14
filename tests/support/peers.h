// Real peers that tests start: where they are, and what to do when one is missing (skip on a
// developer's machine, fail in CI, where .ci/run installs them).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace faxmail::test {

inline bool HavePeer(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

#define FAXMAIL_REQUIRE_PEER(path)                                       \
  do {                                                                   \
    if (!::faxmail::test::HavePeer(path)) {                              \
      if (std::getenv("CI")) FAIL() << "peer not installed: " << (path); \
      GTEST_SKIP() << "peer not installed: " << (path);                  \
    }                                                                    \
  } while (0)

// Debian's own Python, whose packages (aiosmtpd) the tests use.
inline constexpr char kSystemPython[] = "/usr/bin/python3";

}  // namespace faxmail::test
