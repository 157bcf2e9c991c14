// The registry store's value rules: what the gateway reads back must be what was written,
// byte for byte, with the system's size rules. The same cases on both backends.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/platform/registry_test_fixture.h"

namespace faxmail::platform {
namespace {

using test::ReadWholeFile;
using test::WriteWholeFile;

TEST_F(RegistryTest, TextLimitCountsTheTerminatingZero) {
  struct Case {
    std::size_t length;
    bool withZero;
    std::uint32_t limit;
    long expected;
  };
  const Case cases[] = {
      {79, true, 80, kErrorSuccess},    // exact fit: 79 characters and the zero
      {80, true, 80, kErrorMoreData},   // one over
      {79, false, 80, kErrorSuccess},   // stored without zero: room left for one
      {80, false, 80, kErrorMoreData},  // stored without zero, no room for the zero
      {259, true, 260, kErrorSuccess}, {260, true, 260, kErrorMoreData},
      {0, true, 1, kErrorSuccess},     {0, false, 0, kErrorMoreData},
      {3, true, 4, kErrorSuccess},     {4, true, 4, kErrorMoreData},
  };
  RegKey key = Create(kGatewayKey);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << (c.withZero ? " with zero" : " without zero")
                                    << ", limit " << c.limit);
    // Wine adds the zero to a text stored without it; the system keeps the bytes as given.
    if (!c.withZero && test::UnderWine()) continue;
    const std::string text(c.length, 'p');
    ASSERT_EQ(RegSetString(key, "ProgramPath", text, c.withZero), kErrorSuccess);
    std::string out = "unchanged";
    EXPECT_EQ(RegQueryString(key, "ProgramPath", c.limit, out), c.expected);
    EXPECT_EQ(out, c.expected == kErrorSuccess ? text : "unchanged");
    // The system's query with a buffer of the limit: too small gives the size needed.
    std::vector<char> buffer(c.limit + 1, 'x');
    std::uint32_t size = c.limit;
    const long r = RegQueryValue(key, "ProgramPath", nullptr, buffer.data(), &size);
    const std::uint32_t stored = static_cast<std::uint32_t>(c.length + (c.withZero ? 1 : 0));
    EXPECT_EQ(r, stored > c.limit ? kErrorMoreData : kErrorSuccess);
    EXPECT_EQ(size, stored);
    if (r == kErrorSuccess) {
      EXPECT_EQ(buffer[stored], 'x') << "wrote past the value";
    }
  }
}

// After the parsed copy is let go of, keys opened before and the values in the file are all
// still there: the next operation reads the file again.
TEST_F(RegistryTest, ReleasedCacheIsReadAgain) {
  const RegKey key = Create("SOFTWARE\\Cache\\Test");
  ASSERT_EQ(RegSetString(key, "Name", "before"), kErrorSuccess);
  RegReleaseCache();
  std::string text;
  ASSERT_EQ(RegQueryString(key, "Name", 64, text), kErrorSuccess);
  EXPECT_EQ(text, "before");
  RegReleaseCache();
  ASSERT_EQ(RegSetString(key, "Name", "after"), kErrorSuccess);
  RegReleaseCache();
  RegReleaseCache();
  ASSERT_EQ(RegQueryString(key, "Name", 64, text), kErrorSuccess);
  EXPECT_EQ(text, "after");
}

TEST_F(RegistryTest, TextEndsAtTheFirstZero) {
  RegKey key = Create(kGatewayKey);
  const std::string multi("ab\0cd\0\0", 7);
  ASSERT_EQ(RegSetValue(key, "M", kRegMultiSz, multi.data(), 7), kErrorSuccess);
  std::string out;
  EXPECT_EQ(RegQueryString(key, "M", 7, out), kErrorSuccess);
  EXPECT_EQ(out, "ab");
  EXPECT_EQ(RegQueryString(key, "M", 6, out), kErrorMoreData);
}

TEST_F(RegistryTest, DwordMustBeExactlyFourBytes) {
  struct Case {
    std::vector<std::byte> data;
    long expected;
  };
  const Case cases[] = {
      {{std::byte{0x1d}, std::byte{0}, std::byte{0}, std::byte{0}}, kErrorSuccess},
      {{std::byte{0x1d}, std::byte{0}}, kErrorInvalidParameter},
      {{}, kErrorInvalidParameter},
      {std::vector<std::byte>(8, std::byte{1}), kErrorMoreData},
  };
  RegKey key = Create(kGatewayKey);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data.size());
    ASSERT_EQ(RegSetValue(key, "SmtpRxPort", kRegDword, c.data.data(),
                          static_cast<std::uint32_t>(c.data.size())),
              kErrorSuccess);
    std::uint32_t out = 77;
    EXPECT_EQ(RegQueryDword(key, "SmtpRxPort", out), c.expected);
    EXPECT_EQ(out, c.expected == kErrorSuccess ? 0x1du : 77u);
  }
  ASSERT_EQ(RegSetDword(key, "SmtpRxPort", 0x01020304), kErrorSuccess);
  std::vector<std::byte> data;
  std::uint32_t type = 0;
  ASSERT_EQ(Get(key, "SmtpRxPort", data, &type), kErrorSuccess);
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(data, (std::vector<std::byte>{std::byte{4}, std::byte{3}, std::byte{2}, std::byte{1}}));
}

TEST_F(RegistryTest, MissingValuesAndBadArguments) {
  RegKey key = Create(kGatewayKey);
  std::string text;
  std::uint32_t number = 0;
  std::uint32_t size = 4;
  char buffer[4];
  EXPECT_EQ(RegQueryString(key, "ProgramPath", 80, text), kErrorFileNotFound);
  EXPECT_EQ(RegQueryDword(key, "OUTIndex", number), kErrorFileNotFound);
  EXPECT_EQ(RegQueryValue(key, "", nullptr, nullptr, &size), kErrorFileNotFound);
  EXPECT_EQ(RegDeleteValue(key, "ProgramPath"), kErrorFileNotFound);
  EXPECT_EQ(RegQueryValue(key, "x", nullptr, buffer, nullptr), kErrorInvalidParameter);
  EXPECT_EQ(RegSetValue(key, "x", kRegBinary, nullptr, 3), kErrorInvalidParameter);
  EXPECT_EQ(RegSetString(key, "line\nbreak", "x"), kErrorInvalidParameter);
  EXPECT_EQ(RegSetString(key, std::string(16384, 'n'), "x"), kErrorInvalidParameter);
  EXPECT_EQ(RegSetString(key, std::string(16383, 'n'), "x"), kErrorSuccess);

  RegKey closed;
  EXPECT_EQ(RegQueryDword(closed, "x", number), kErrorInvalidHandle);
  EXPECT_EQ(RegCloseKey(closed), kErrorInvalidHandle);
  EXPECT_EQ(RegCloseKey(key), kErrorSuccess);
  EXPECT_EQ(RegSetDword(key, "x", 1), kErrorInvalidHandle);

  // A zero-length value exists and has size 0.
  key = Create(kGatewayKey);
  ASSERT_EQ(RegSetValue(key, "Empty", kRegBinary, nullptr, 0), kErrorSuccess);
  size = 99;
  EXPECT_EQ(RegQueryValue(key, "Empty", nullptr, buffer, &size), kErrorSuccess);
  EXPECT_EQ(size, 0u);
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheirCase) {
  RegKey key = Create("Software\\MixedCase");
  ASSERT_EQ(RegSetDword(key, "FileNameUse", 1), kErrorSuccess);
  ASSERT_EQ(RegSetDword(key, "FILENAMEUSE", 2), kErrorSuccess);
  std::uint32_t number = 0;
  EXPECT_EQ(RegQueryDword(key, "filenameuse", number), kErrorSuccess);
  EXPECT_EQ(number, 2u);
  std::vector<RegValue> values;
  ASSERT_EQ(RegEnumValues(key, values), kErrorSuccess);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "FileNameUse");

  RegKey other;
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, "SOFTWARE\\MIXEDCASE", other), kErrorSuccess);
  EXPECT_EQ(other.Path(), "Software\\MixedCase");
  bool created = true;
  ASSERT_EQ(RegCreateKey(Hive::LocalMachine, "software\\mixedcase\\", other, &created), 0);
  EXPECT_FALSE(created);
  EXPECT_EQ(other.Path(), "Software\\MixedCase");

  Reload();
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, "software\\mixedCASE", other), kErrorSuccess);
  EXPECT_EQ(other.Path(), "Software\\MixedCase");
  ASSERT_EQ(RegEnumValues(other, values), kErrorSuccess);
  EXPECT_EQ(values.at(0).name, "FileNameUse");
}

TEST_F(RegistryTest, DefaultValueIsTheEmptyName) {
  RegKey key = Create(kGatewayKey);
  std::string out;
  EXPECT_EQ(RegQueryString(key, "", 100, out), kErrorFileNotFound);
  ASSERT_EQ(RegSetString(key, "", "the default"), kErrorSuccess);
  if (kHiveFile) {
    EXPECT_NE(HiveText().find("\n@=\"the default\"\n"), std::string::npos);
  }
  Reload();
  EXPECT_EQ(RegQueryString(key, "", 100, out), kErrorSuccess);
  EXPECT_EQ(out, "the default");
  ASSERT_EQ(RegDeleteValue(key, ""), kErrorSuccess);
  EXPECT_EQ(RegQueryString(key, "", 100, out), kErrorFileNotFound);
}

// Every kind of value keeps its exact bytes and type through the hive file.
TEST_F(RegistryTest, BadKeyPaths) {
  RegKey key;
  const std::string deep = [] {
    std::string path = "k";
    for (int i = 1; i < 513; ++i) path += "\\k";
    return path;
  }();
  for (const std::string& path : {std::string("\\A"), std::string("A\\\\B"), std::string(256, 'n'),
                                  deep, std::string("A\nB")}) {
    EXPECT_EQ(RegCreateKey(Hive::LocalMachine, path, key), kErrorInvalidParameter);
    EXPECT_EQ(RegOpenKey(Hive::LocalMachine, path, key), kErrorInvalidParameter);
  }
  EXPECT_EQ(RegDeleteTree(Hive::LocalMachine, ""), kErrorInvalidParameter);
  if (kHiveFile) {
    EXPECT_FALSE(FileExists(Hive()));
  }
}

// The deepest tree the store allows is written, read, exported and deleted without trouble.
TEST_F(RegistryTest, DeepestTreeWorks) {
  std::string path = "k";
  for (int i = 1; i < 512; ++i) path += "\\k" + std::to_string(i);
  RegKey key = Create(path);
  ASSERT_EQ(RegSetDword(key, "Leaf", 512), kErrorSuccess);
  Reload();
  std::uint32_t number = 0;
  EXPECT_EQ(RegQueryDword(key, "Leaf", number), kErrorSuccess);
  EXPECT_EQ(number, 512u);
  ASSERT_EQ(RegDeleteTree(Hive::LocalMachine, "k"), kErrorSuccess);
  EXPECT_EQ(RegQueryDword(key, "Leaf", number), kErrorKeyDeleted);
}

// ---------------------------------------------------------------------------------------------
// Keys

TEST_F(RegistryTest, KeyDeletedAfterOpen) {
  RegKey key = Create("A\\B\\C");
  ASSERT_EQ(RegSetDword(key, "x", 1), kErrorSuccess);
  RegKey sibling = Create("A\\BC");
  ASSERT_EQ(RegSetDword(sibling, "y", 2), kErrorSuccess);

  ASSERT_EQ(RegDeleteTree(Hive::LocalMachine, "a\\b"), kErrorSuccess);
  std::uint32_t number = 0;
  std::vector<RegValue> values;
  std::vector<std::string> subKeys;
  EXPECT_EQ(RegQueryDword(key, "x", number), kErrorKeyDeleted);
  EXPECT_EQ(RegSetDword(key, "x", 2), kErrorKeyDeleted);
  EXPECT_EQ(RegDeleteValue(key, "x"), kErrorKeyDeleted);
  EXPECT_EQ(RegEnumValues(key, values), kErrorKeyDeleted);
  EXPECT_EQ(RegEnumSubKeys(key, subKeys), kErrorKeyDeleted);
  EXPECT_EQ(RegFlushKey(key), kErrorKeyDeleted);
  EXPECT_EQ(RegDeleteTree(Hive::LocalMachine, "A\\B"), kErrorFileNotFound);
  // The sibling whose name merely starts the same stays.
  EXPECT_EQ(RegQueryDword(sibling, "y", number), kErrorSuccess);
  RegKey parent;
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, "A", parent), kErrorSuccess);
  ASSERT_EQ(RegEnumSubKeys(parent, subKeys), kErrorSuccess);
  EXPECT_EQ(subKeys, std::vector<std::string>{"BC"});
  if (kHiveFile) {
    EXPECT_EQ(ReadWholeFile(Hive()).find("[HKEY_LOCAL_MACHINE\\A\\B]"), std::string::npos);
  }
}

TEST_F(RegistryTest, SubKeysListInNameOrder) {
  for (const char* name : {"b", "C", "a", "B2"}) Create(std::string("P\\") + name);
  RegKey key;
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, "P", key), kErrorSuccess);
  std::vector<std::string> subKeys;
  ASSERT_EQ(RegEnumSubKeys(key, subKeys), kErrorSuccess);
  EXPECT_EQ(subKeys, (std::vector<std::string>{"a", "b", "B2", "C"}));
}

TEST_F(RegistryTest, UpdateDwordSeesTheCurrentValue) {
  RegKey key = Create(kGatewayKey);
  std::vector<std::optional<std::uint32_t>> seen;
  auto next = [&seen](std::optional<std::uint32_t> v) {
    seen.push_back(v);
    return v.value_or(0) == 0xfffe ? 0u : v.value_or(0) + 1;
  };
  std::uint32_t result = 0;
  ASSERT_EQ(RegUpdateDword(key, "TmpIndex", next, &result), kErrorSuccess);
  EXPECT_EQ(result, 1u);
  ASSERT_EQ(RegSetDword(key, "TmpIndex", 0xfffe), kErrorSuccess);
  ASSERT_EQ(RegUpdateDword(key, "TmpIndex", next, &result), kErrorSuccess);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(seen, (std::vector<std::optional<std::uint32_t>>{std::nullopt, 0xfffe}));
  std::uint32_t stored = 9;
  EXPECT_EQ(RegQueryDword(key, "TmpIndex", stored), kErrorSuccess);
  EXPECT_EQ(stored, 0u);

  ASSERT_EQ(RegSetString(key, "TmpIndex", "12"), kErrorSuccess);  // 3 bytes
  EXPECT_EQ(RegUpdateDword(key, "TmpIndex", next, &result), kErrorInvalidParameter);
  EXPECT_EQ(seen.size(), 2u) << "not called for a value of the wrong size";
}

// ---------------------------------------------------------------------------------------------
// Export and import

TEST_F(RegistryTest, ExportImportRoundTrip) {
  RegKey key = Create(kGatewayKey);
  ASSERT_EQ(RegSetString(key, "ProgramPath", "C:\\fax\\"), kErrorSuccess);
  ASSERT_EQ(RegSetString(key, "FileName", "C:\\fax\\OUT\\ENV3", false), kErrorSuccess);
  ASSERT_EQ(RegSetDword(key, "OUTIndex", 3), kErrorSuccess);
  ASSERT_EQ(RegSetString(key, "", "default"), kErrorSuccess);
  RegKey service = Create("SYSTEM\\CurrentControlSet\\Services\\Corvane SMTP Server");
  const std::string depend("Tcpip\0\0", 7);
  ASSERT_EQ(RegSetValue(service, "DependOnService", kRegMultiSz, depend.data(), 7), 0);
  RegKey root;
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, "", root), kErrorSuccess);
  ASSERT_EQ(RegSetDword(root, "AtRoot", 7), kErrorSuccess);

  std::string whole;
  ASSERT_EQ(RegExport(Hive::LocalMachine, "", whole), kErrorSuccess);
  if (kHiveFile) {
    EXPECT_EQ(whole, HiveText());
  }
  EXPECT_EQ(whole.rfind("REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n\"AtRoot\"=dword:00000007\n", 0), 0u)
      << whole;
  std::string part;
  ASSERT_EQ(RegExport(Hive::LocalMachine, "software\\almoran", part), kErrorSuccess);
  // Under Wine the values list in name order and FileName has gained its zero.
  if (!test::UnderWine()) {
    EXPECT_EQ(part,
              "REGEDIT4\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Almoran]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Almoran\\Corvane SMTP Server]\n"
              "\"ProgramPath\"=\"C:\\\\fax\\\\\"\n"
              "\"FileName\"=hex(1):43,3a,5c,66,61,78,5c,4f,55,54,5c,45,4e,56,33\n"
              "\"OUTIndex\"=dword:00000003\n"
              "@=\"default\"\n\n");
  }
  EXPECT_EQ(RegExport(Hive::LocalMachine, "SOFTWARE\\Nothing", part), kErrorFileNotFound);

  ASSERT_EQ(RegDeleteTree(Hive::LocalMachine, "SOFTWARE"), kErrorSuccess);
  ASSERT_EQ(RegDeleteTree(Hive::LocalMachine, "SYSTEM"), kErrorSuccess);
  ASSERT_EQ(RegDeleteValue(root, "AtRoot"), kErrorSuccess);
  std::string empty;
  ASSERT_EQ(RegExport(Hive::LocalMachine, "", empty), kErrorSuccess);
  EXPECT_EQ(empty, "REGEDIT4\n\n");
  std::string problem;
  ASSERT_EQ(RegImport(Hive::LocalMachine, whole, &problem), kErrorSuccess) << problem;
  std::string again;
  ASSERT_EQ(RegExport(Hive::LocalMachine, "", again), kErrorSuccess);
  EXPECT_EQ(again, whole);
}

// The "-" forms of an import: [-KEY] deletes a key with everything below it, "name"=- one
// value; each takes effect where it stands in the text, and deleting what is not there is no
// error.
TEST_F(RegistryTest, ImportDeleteFormsTakeEffectInTheTextsOrder) {
  struct Case {
    const char* what;
    const char* text;
    std::vector<std::string> keysAfter;    // keys below "T" that exist afterwards
    std::vector<std::string> missingKeys;  // keys below "T" that must be gone
    std::vector<std::pair<std::string, std::string>> valuesAfter;  // key, value name
    std::vector<std::pair<std::string, std::string>> missingValues;
  };
  const std::vector<Case> cases = {
      {"a value and a subtree go, the rest stays",
       "REGEDIT4\n[HKLM\\T\\A]\n\"Drop\"=-\n[-HKLM\\T\\A\\Old]\n",
       {"A"},
       {"A\\Old", "A\\Old\\Deeper"},
       {{"A", "Keep"}},
       {{"A", "Drop"}}},
      {"a key deleted and written again holds only what follows",
       "REGEDIT4\n[-HKLM\\T\\A]\n[HKLM\\T\\A]\n\"Fresh\"=dword:00000001\n",
       {"A"},
       {"A\\Old"},
       {{"A", "Fresh"}},
       {{"A", "Keep"}, {"A", "Drop"}}},
      {"what is set and then deleted is gone",
       "REGEDIT4\n[HKLM\\T\\A]\n\"Late\"=\"x\"\n\"Late\"=-\n[HKLM\\T\\New]\n"
       "\"v\"=\"1\"\n[-HKLM\\T\\New]\n",
       {"A", "A\\Old\\Deeper"},
       {"New"},
       {{"A", "Keep"}, {"A", "Drop"}},
       {{"A", "Late"}}},
      {"what is deleted and then set is there",
       "REGEDIT4\n[HKLM\\T\\A]\n\"Drop\"=-\n\"Drop\"=\"back\"\n",
       {"A"},
       {},
       {{"A", "Drop"}, {"A", "Keep"}},
       {}},
      {"deleting what is not there changes nothing and is no error",
       "REGEDIT4\n[-HKLM\\T\\Nothing]\n[-HKLM\\T\\A\\Old\\None]\n[HKLM\\T\\A]\n"
       "\"None\"=-\n",
       {"A", "A\\Old\\Deeper"},
       {"Nothing"},
       {{"A", "Keep"}, {"A", "Drop"}},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegDeleteTree(Hive::LocalMachine, "T");
    RegKey a = Create("T\\A");
    ASSERT_EQ(RegSetDword(a, "Keep", 1), kErrorSuccess);
    ASSERT_EQ(RegSetDword(a, "Drop", 2), kErrorSuccess);
    RegKey deeper = Create("T\\A\\Old\\Deeper");
    ASSERT_EQ(RegSetDword(deeper, "Below", 3), kErrorSuccess);
    std::string problem;
    ASSERT_EQ(RegImport(Hive::LocalMachine, c.text, &problem), kErrorSuccess) << problem;
    for (const std::string& name : c.keysAfter) {
      RegKey key;
      EXPECT_EQ(RegOpenKey(Hive::LocalMachine, "T\\" + name, key), kErrorSuccess) << name;
    }
    for (const std::string& name : c.missingKeys) {
      RegKey key;
      EXPECT_EQ(RegOpenKey(Hive::LocalMachine, "T\\" + name, key), kErrorFileNotFound) << name;
    }
    for (const auto& [path, name] : c.valuesAfter) {
      RegKey key;
      ASSERT_EQ(RegOpenKey(Hive::LocalMachine, "T\\" + path, key), kErrorSuccess) << path;
      EXPECT_EQ(RegQueryValue(key, name, nullptr, nullptr, nullptr), kErrorSuccess) << name;
    }
    for (const auto& [path, name] : c.missingValues) {
      RegKey key;
      ASSERT_EQ(RegOpenKey(Hive::LocalMachine, "T\\" + path, key), kErrorSuccess) << path;
      EXPECT_EQ(RegQueryValue(key, name, nullptr, nullptr, nullptr), kErrorFileNotFound) << name;
    }
  }
}

TEST_F(RegistryTest, ImportRefusesToDeleteTheRootAndChangesNothingThen) {
  RegKey key = Create("Kept");
  ASSERT_EQ(RegSetDword(key, "v", 1), kErrorSuccess);
  std::string problem;
  EXPECT_EQ(RegImport(Hive::LocalMachine, "REGEDIT4\n[HKLM\\Kept]\n\"v\"=-\n[-HKLM]\n", &problem),
            kErrorInvalidParameter);
  EXPECT_EQ(problem, "line 4: the hive's root cannot be deleted");
  std::uint32_t number = 0;
  EXPECT_EQ(RegQueryDword(key, "v", number), kErrorSuccess);
}

}  // namespace
}  // namespace faxmail::platform
