// The fixture of the registry cases: a fresh FAXMAIL_ROOT (and registry root) per case, and
// helpers to read values whole and, on the backend whose hive is a file, to edit that file.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {

inline std::vector<std::byte> Bytes(std::string_view text) {
  const auto* p = reinterpret_cast<const std::byte*>(text.data());
  return {p, p + text.size()};
}

inline constexpr char kGatewayKey[] = "SOFTWARE\\Almoran\\Corvane SMTP Server";

class RegistryTest : public test::RootTest {
 protected:
  std::string Hive() const { return HivePath(Hive::LocalMachine); }

  RegKey Create(std::string_view path) {
    RegKey key;
    EXPECT_EQ(RegCreateKey(Hive::LocalMachine, path, key), kErrorSuccess) << path;
    return key;
  }

  // The value's bytes and type, or the error.
  long Get(const RegKey& key, std::string_view name, std::vector<std::byte>& data,
           std::uint32_t* type = nullptr) {
    std::uint32_t size = 0;
    long r = RegQueryValue(key, name, type, nullptr, &size);
    if (r != kErrorSuccess) return r;
    data.assign(size, std::byte{0});
    r = RegQueryValue(key, name, type, data.data(), &size);
    data.resize(size);
    return r;
  }

  // Replaces the hive file by rename, as an administrator's editor does; the store must read it
  // again although this process holds a parsed copy of the old one.
  void ReplaceHive(const std::string& text) {
    ASSERT_TRUE(EnsureDirectories(ParentFolder(Hive())));
    test::WriteWholeFile(Hive() + ".edit", text);
    ASSERT_EQ(std::rename((Hive() + ".edit").c_str(), Hive().c_str()), 0);
  }
  // The hive file once the store has written it whole.
  std::string HiveText() {
    EXPECT_EQ(RegWriteHive(Hive::LocalMachine), kErrorSuccess);
    return test::ReadWholeFile(Hive());
  }
  // Whether the hive is a file of the store's own (not the system's registry), whose text the
  // cases may look at.
#ifdef _WIN32
  static constexpr bool kHiveFile = false;
  // The system keeps no parsed copy of its own to read again.
  void Reload() {}
#else
  static constexpr bool kHiveFile = true;
  // Makes the store parse its own file again.
  void Reload() { ReplaceHive(HiveText()); }
#endif
};

}  // namespace faxmail::platform
