// The registry store's value rules and its hive file: what the gateway reads back must be what
// was written, byte for byte, through the file and through an administrator's hand edits; a
// damaged hive must be reported and never replaced.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {
namespace {

using test::ReadWholeFile;
using test::WriteWholeFile;

constexpr char kGatewayKey[] = "SOFTWARE\\Almoran\\Corvane SMTP Server";

std::vector<std::byte> Bytes(std::string_view text) {
  const auto* p = reinterpret_cast<const std::byte*>(text.data());
  return {p, p + text.size()};
}

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
    WriteWholeFile(Hive() + ".edit", text);
    ASSERT_EQ(std::rename((Hive() + ".edit").c_str(), Hive().c_str()), 0);
  }
  // The hive file once the store has written it whole.
  std::string HiveText() {
    EXPECT_EQ(RegWriteHive(Hive::LocalMachine), kErrorSuccess);
    return ReadWholeFile(Hive());
  }
  // Makes the store parse its own file again.
  void Reload() { ReplaceHive(HiveText()); }
};

// ---------------------------------------------------------------------------------------------
// Value rules

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
  EXPECT_NE(HiveText().find("\n@=\"the default\"\n"), std::string::npos);
  Reload();
  EXPECT_EQ(RegQueryString(key, "", 100, out), kErrorSuccess);
  EXPECT_EQ(out, "the default");
  ASSERT_EQ(RegDeleteValue(key, ""), kErrorSuccess);
  EXPECT_EQ(RegQueryString(key, "", 100, out), kErrorFileNotFound);
}

// Every kind of value keeps its exact bytes and type through the hive file.
TEST_F(RegistryTest, ValuesRoundTripThroughTheFile) {
  struct Case {
    std::string name;
    std::uint32_t type;
    std::string data;
    std::string line;  // how the hive file shows it
  };
  const std::vector<Case> cases = {
      {"Path", kRegSz, std::string("C:\\dir\\\0", 8), "\"Path\"=\"C:\\\\dir\\\\\""},
      {"Quote", kRegSz, std::string("say \"hi\"\0", 9), "\"Quote\"=\"say \\\"hi\\\"\""},
      {"Share", kRegSz, std::string("\\\\srv\\\"s\"\\\0", 11),
       "\"Share\"=\"\\\\\\\\srv\\\\\\\"s\\\"\\\\\""},
      {"Empty", kRegSz, std::string("\0", 1), "\"Empty\"=\"\""},
      {"Latin1", kRegSz, std::string("caf\xe9\ttab\0", 9), "\"Latin1\"=\"caf\xe9\ttab\""},
      {"FileName", kRegSz, "C:\\fax\\OUT\\ENV7", "\"FileName\"=hex(1):43,3a,5c,"},
      {"NoText", kRegSz, "", "\"NoText\"=hex(1):"},
      {"TwoZeros", kRegSz, std::string("a\0\0", 3), "\"TwoZeros\"=hex(1):61,00,00"},
      {"Inner", kRegSz, std::string("a\0b\0", 4), "\"Inner\"=hex(1):61,00,62,00"},
      {"Lines", kRegSz, std::string("a\r\nb\0", 5), "\"Lines\"=hex(1):61,0d,0a,62,00"},
      {"Expand", kRegExpandSz, std::string("%TMP%\\x\0", 8), "\"Expand\"=hex(2):25,54,4d,50,"},
      {"Depend", kRegMultiSz, std::string("Tcpip\0Afd\0\0", 11), "\"Depend\"=hex(7):54,63,"},
      {"Word", kRegDword, std::string("\x1d\0\0\0", 4), "\"Word\"=dword:0000001d"},
      {"ShortWord", kRegDword, std::string("\x1d\0", 2), "\"ShortWord\"=hex(4):1d,00"},
      {"Blob", kRegBinary, std::string(100, '\xab'), "\"Blob\"=hex:ab,ab,"},
      {"None", kRegNone, "xy", "\"None\"=hex(0):78,79"},
      {"Qword", 11, std::string(8, '\1'), "\"Qword\"=hex(b):01,01,"},
      {"Odd", 0x1234, "z", "\"Odd\"=hex(1234):7a"},
      {"we\"ird\\ = [name]", kRegSz, std::string("v\0", 2), "\"we\\\"ird\\\\ = [name]\"=\"v\""},
  };
  RegKey key = Create(kGatewayKey);
  for (const auto& c : cases)
    ASSERT_EQ(
        RegSetValue(key, c.name, c.type, c.data.data(), static_cast<std::uint32_t>(c.data.size())),
        kErrorSuccess)
        << c.name;
  const std::string file = HiveText();
  Reload();
  std::vector<RegValue> values;
  ASSERT_EQ(RegEnumValues(key, values), kErrorSuccess);
  ASSERT_EQ(values.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_NE(file.find("\n" + cases[i].line), std::string::npos) << file;
    EXPECT_EQ(values[i].name, cases[i].name) << "stored order";
    EXPECT_EQ(values[i].type, cases[i].type);
    EXPECT_EQ(values[i].data, Bytes(cases[i].data));
  }
  // Long hex lists are wrapped with continuation lines, and read back whole (checked above).
  EXPECT_NE(file.find(",\\\n  ab,"), std::string::npos);
  for (std::size_t pos = 0, end; (end = file.find('\n', pos)) != std::string::npos; pos = end + 1)
    if (file.compare(pos, 7, "\"Blob\"=") == 0 || file.compare(pos, 2, "  ") == 0) {
      EXPECT_LE(end - pos, 80u);
    }
}

// ---------------------------------------------------------------------------------------------
// Files written by hand

class HandWrittenHive : public RegistryTest, public testing::WithParamInterface<const char*> {};

TEST_P(HandWrittenHive, IsReadBack) {
  const std::string eol = GetParam();
  const std::vector<std::string> lines = {
      "REGEDIT4",
      "",
      "; seeded by hand",
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Almoran\\Corvane SMTP Server]",
      "\"ProgramPath\"=\"C:\\\\fax\\\\\"",
      "\"SmtpRxPort\"=dword:0000001D",
      "\"SmtpTxPort\" = dword:19",
      "@=\"default\"",
      "\"Depend\"=hex(7):54,63,70,69,70,00,\\",
      "    41,66,64,00,\\",
      "  00",
      "",
      "  ; an indented comment",
      "[hklm\\software\\ALMORAN\\corvane smtp server]",
      "\"DomainName\"=\"fax.example\"",
      "\"Blob\"=hex:",
      "\"Gone\"=\"x\"",
      "\"Gone\"=-",
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]   ",
      "\"Expand\"=hex(2):25,54,4d,50,25,00",
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]",
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\NeverThere]",
  };
  std::string text;
  for (const auto& line : lines) text += line + eol;
  ReplaceHive(text);

  RegKey key;
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, kGatewayKey, key), kErrorSuccess)
      << RegHiveProblem(Hive::LocalMachine);
  EXPECT_EQ(key.Path(), kGatewayKey) << "the first spelling is kept";
  std::string out;
  std::uint32_t number = 0;
  EXPECT_EQ(RegQueryString(key, "ProgramPath", 80, out), kErrorSuccess);
  EXPECT_EQ(out, "C:\\fax\\");
  EXPECT_EQ(RegQueryString(key, "DomainName", 80, out), kErrorSuccess);
  EXPECT_EQ(out, "fax.example");
  EXPECT_EQ(RegQueryString(key, "", 80, out), kErrorSuccess);
  EXPECT_EQ(out, "default");
  EXPECT_EQ(RegQueryDword(key, "SmtpRxPort", number), kErrorSuccess);
  EXPECT_EQ(number, 29u);
  EXPECT_EQ(RegQueryDword(key, "SmtpTxPort", number), kErrorSuccess);
  EXPECT_EQ(number, 25u);
  std::vector<std::byte> data;
  std::uint32_t type = 0;
  EXPECT_EQ(Get(key, "Depend", data, &type), kErrorSuccess);
  EXPECT_EQ(type, kRegMultiSz);
  EXPECT_EQ(data, Bytes(std::string("Tcpip\0Afd\0\0", 11)));
  EXPECT_EQ(Get(key, "Blob", data, &type), kErrorSuccess);
  EXPECT_EQ(type, kRegBinary);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(Get(key, "Gone", data), kErrorFileNotFound);
  RegKey other;
  EXPECT_EQ(RegOpenKey(Hive::LocalMachine, "SOFTWARE\\Other", other), kErrorFileNotFound);

  // A change rewrites the file in the store's own form, and keeps everything.
  ASSERT_EQ(RegSetDword(key, "OUTIndex", 0), kErrorSuccess);
  Reload();
  EXPECT_EQ(RegQueryDword(key, "SmtpRxPort", number), kErrorSuccess);
  EXPECT_EQ(number, 29u);
  EXPECT_EQ(Get(key, "Depend", data), kErrorSuccess);
  EXPECT_EQ(data, Bytes(std::string("Tcpip\0Afd\0\0", 11)));
}

INSTANTIATE_TEST_SUITE_P(LineEnds, HandWrittenHive, testing::Values("\n", "\r\n"),
                         [](const auto& param) {
                           return std::string(param.param[0] == '\r' ? "CRLF" : "LF");
                         });

TEST_F(RegistryTest, VersionFiveTextIsAccepted) {
  // UTF-16LE with its byte order mark, string types as UTF-16LE hex.
  const std::string narrow =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V5]\r\n"
      "\"Text\"=\"caf\xe9\"\r\n"
      "\"Expand\"=hex(2):25,00,54,00,4d,00,50,00,25,00,00,00\r\n"
      "\"Bin\"=hex:01,00\r\n";
  std::string wide = "\xff\xfe";
  for (const char c : narrow) {
    wide += c;
    wide += '\0';
  }
  std::string problem;
  ASSERT_EQ(RegImport(Hive::LocalMachine, wide, &problem), kErrorSuccess) << problem;
  RegKey key;
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, "SOFTWARE\\V5", key), kErrorSuccess);
  std::vector<std::byte> data;
  EXPECT_EQ(Get(key, "Text", data), kErrorSuccess);
  EXPECT_EQ(data, Bytes(std::string("caf\xe9\0", 5)));
  EXPECT_EQ(Get(key, "Expand", data), kErrorSuccess);
  EXPECT_EQ(data, Bytes(std::string("%TMP%\0", 6)));
  EXPECT_EQ(Get(key, "Bin", data), kErrorSuccess);
  EXPECT_EQ(data, Bytes(std::string("\1\0", 2)));

  // The same header in plain text, as the hive file itself.
  ReplaceHive("\xef\xbb\xbfWindows Registry Editor Version 5.00\n[HKLM\\A]\n\"x\"=dword:1\n");
  EXPECT_EQ(RegOpenKey(Hive::LocalMachine, "A", key), kErrorSuccess);
}

// A hive that does not parse is reported on every operation and survives every change.
TEST_F(RegistryTest, DamagedHiveIsReportedAndLeftAlone) {
  struct Case {
    std::string text;
    std::string problem;
  };
  const std::string head = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n";
  const Case cases[] = {
      {"", "line 1: the first line is not \"REGEDIT4\""},
      {"REGEDIT5\n[HKLM\\A]\n", "line 1: the first line"},
      {head + "\"x\"=\"open\n", "line 4: unterminated quoted text"},
      {head + "\"x\"=\"C:\\dir\"\n", "line 4: unknown escape"},
      {head + "\"x\"=\"a\" trailing\n", "line 4: text after the closing quote"},
      {head + "\"x\"=dword:123456789\n", "line 4: dword:"},
      {head + "\"x\"=dword:\n", "line 4: dword:"},
      {head + "\"x\"=hex:01,1g\n", "line 4: expected two-digit hex bytes"},
      {head + "\"x\"=hex:001\n", "line 4: expected two-digit hex bytes"},
      {head + "\"x\"=hex(7:00\n", "line 4: hex(N)"},
      {head + "\"x\"=hex:01,\\\n", "line 4: a hex list continues past the end"},
      {head + "\"x\"=str:abc\n", "line 4: expected \"text\""},
      {head + "\"x\" \"y\"\n", "line 4: expected ="},
      {head + "x=1\n", "line 4: expected [KEY]"},
      {"REGEDIT4\n\"x\"=\"y\"\n", "line 2: a value outside a key section"},
      {head + "[-HKLM\\A]\n\"x\"=\"y\"\n", "line 5: a value outside a key section"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n", "line 2: only keys under HKEY_LOCAL_MACHINE"},
      {"REGEDIT4\n[HKLM\\A\\\\B]\n", "line 2: bad key name"},
      {"REGEDIT4\n[HKLM\\" + std::string(256, 'k') + "]\n", "line 2: bad key name"},
      {"REGEDIT4\n[HKLM\\A\n", "line 2: a key section ends with ]"},
      {"REGEDIT4\n[-HKLM]\n", "line 2: the hive's root cannot be deleted"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ReplaceHive(c.text);
    RegKey key;
    EXPECT_EQ(RegOpenKey(Hive::LocalMachine, "A", key), kErrorBadDb);
    EXPECT_EQ(RegCreateKey(Hive::LocalMachine, "B", key), kErrorBadDb);
    EXPECT_EQ(RegDeleteTree(Hive::LocalMachine, "A"), kErrorBadDb);
    EXPECT_EQ(RegImport(Hive::LocalMachine, "REGEDIT4\n[HKLM\\C]\n"), kErrorBadDb);
    std::string text;
    EXPECT_EQ(RegExport(Hive::LocalMachine, "", text), kErrorBadDb);
    EXPECT_EQ(ReadWholeFile(Hive()), c.text);
    const std::string problem = RegHiveProblem(Hive::LocalMachine);
    EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    EXPECT_EQ(problem.rfind(Hive() + " ", 0), 0u) << problem;
  }
  // A key opened while the hive was sound cannot change a damaged one.
  ReplaceHive("REGEDIT4\n[HKLM\\A]\n");
  RegKey key;
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, "A", key), kErrorSuccess);
  EXPECT_EQ(RegHiveProblem(Hive::LocalMachine), "");
  const std::string damaged = "REGEDIT4\n[HKLM\\A]\n\"x\"=\"open\n";
  ReplaceHive(damaged);
  EXPECT_EQ(RegSetDword(key, "FileNameUse", 0), kErrorBadDb);
  EXPECT_EQ(RegUpdateDword(key, "TmpIndex", [](auto) { return 1u; }), kErrorBadDb);
  EXPECT_EQ(RegDeleteValue(key, "x"), kErrorBadDb);
  EXPECT_EQ(RegFlushKey(key), kErrorBadDb);
  EXPECT_EQ(ReadWholeFile(Hive()), damaged);
  // Repaired by hand, it works again.
  ReplaceHive("REGEDIT4\n[HKLM\\A]\n\"x\"=\"closed\"\n");
  std::string out;
  EXPECT_EQ(RegQueryString(key, "x", 80, out), kErrorSuccess);
  EXPECT_EQ(out, "closed");
}

TEST_F(RegistryTest, OversizedHiveIsDamagedAndChangesStayBelowTheLimit) {
  RegKey key = Create("A");
  ASSERT_EQ(RegSetDword(key, "Before", 1), kErrorSuccess);
  const std::string before = ReadWholeFile(Hive());
  // Some 18 MiB of hex text: refused, and the hive stays as it was.
  const std::vector<std::byte> big(6u << 20, std::byte{0x5a});
  EXPECT_EQ(RegSetValue(key, "Big", kRegBinary, big.data(), static_cast<std::uint32_t>(big.size())),
            kErrorRegistryQuotaLimit);
  EXPECT_EQ(ReadWholeFile(Hive()), before);
  std::vector<std::byte> data;
  EXPECT_EQ(Get(key, "Big", data), kErrorFileNotFound) << "the refused change is forgotten";
  std::uint32_t number = 0;
  EXPECT_EQ(RegQueryDword(key, "Before", number), kErrorSuccess);

  std::string text = "REGEDIT4\n[HKLM\\A]\n";
  text.resize(kMaxHiveFileSize + 1, ';');
  ReplaceHive(text);
  EXPECT_EQ(RegQueryDword(key, "Before", number), kErrorBadDb);
  EXPECT_NE(RegHiveProblem(Hive::LocalMachine).find("larger than 16 MiB"), std::string::npos);
}

TEST_F(RegistryTest, MissingHiveIsEmptyAndReadsCreateNothing) {
  RegKey key;
  EXPECT_EQ(RegOpenKey(Hive::LocalMachine, kGatewayKey, key), kErrorFileNotFound);
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, "", key), kErrorSuccess);
  std::vector<std::string> subKeys{"x"};
  EXPECT_EQ(RegEnumSubKeys(key, subKeys), kErrorSuccess);
  EXPECT_TRUE(subKeys.empty());
  std::string text;
  EXPECT_EQ(RegExport(Hive::LocalMachine, "", text), kErrorSuccess);
  EXPECT_EQ(text, "REGEDIT4\n\n");
  EXPECT_EQ(RegFlushKey(key), kErrorSuccess);
  EXPECT_FALSE(DirectoryExists(ParentFolder(Hive())));

  bool created = false;
  ASSERT_EQ(RegCreateKey(Hive::LocalMachine, kGatewayKey, key, &created), kErrorSuccess);
  EXPECT_TRUE(created);
  EXPECT_TRUE(FileExists(Hive()));
  EXPECT_EQ(RegFlushKey(key), kErrorSuccess);
  // The parents exist too, each a key of its own.
  ASSERT_EQ(RegOpenKey(Hive::LocalMachine, "SOFTWARE\\Almoran", key), kErrorSuccess);
  ASSERT_EQ(RegEnumSubKeys(key, subKeys), kErrorSuccess);
  EXPECT_EQ(subKeys, std::vector<std::string>{"Corvane SMTP Server"});

  // Removing the file by hand empties the hive again.
  ASSERT_EQ(std::remove(Hive().c_str()), 0);
  EXPECT_EQ(RegOpenKey(Hive::LocalMachine, kGatewayKey, key), kErrorFileNotFound);
}

TEST_F(RegistryTest, FolderThatCannotBeMadeIsAccessDenied) {
  // The root is a file, so the registry folder cannot be made in it (whoever runs the test).
  const std::string file = Root() + "/plain";
  WriteWholeFile(file, "x");
  ::setenv("FAXMAIL_ROOT", file.c_str(), 1);
  RegKey key;
  EXPECT_EQ(RegOpenKey(Hive::LocalMachine, "A", key), kErrorFileNotFound);
  EXPECT_EQ(RegCreateKey(Hive::LocalMachine, "A", key), kErrorAccessDenied);
}

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
  EXPECT_FALSE(FileExists(Hive()));
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
  EXPECT_EQ(ReadWholeFile(Hive()).find("[HKEY_LOCAL_MACHINE\\A\\B]"), std::string::npos);
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
  EXPECT_EQ(whole, HiveText());
  EXPECT_EQ(whole.rfind("REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n\"AtRoot\"=dword:00000007\n", 0), 0u)
      << whole;
  std::string part;
  ASSERT_EQ(RegExport(Hive::LocalMachine, "software\\almoran", part), kErrorSuccess);
  EXPECT_EQ(part,
            "REGEDIT4\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Almoran]\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Almoran\\Corvane SMTP Server]\n"
            "\"ProgramPath\"=\"C:\\\\fax\\\\\"\n"
            "\"FileName\"=hex(1):43,3a,5c,66,61,78,5c,4f,55,54,5c,45,4e,56,33\n"
            "\"OUTIndex\"=dword:00000003\n"
            "@=\"default\"\n\n");
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

TEST_F(RegistryTest, ImportMergesDeletesAndIsAllOrNothing) {
  RegKey key = Create("A");
  ASSERT_EQ(RegSetDword(key, "Keep", 1), kErrorSuccess);
  ASSERT_EQ(RegSetDword(key, "Drop", 2), kErrorSuccess);
  Create("A\\Old\\Deeper");
  ASSERT_EQ(RegImport(Hive::LocalMachine,
                      "REGEDIT4\n[HKLM\\A]\n\"Drop\"=-\n\"New\"=\"n\"\n[-HKLM\\A\\Old]\n"),
            kErrorSuccess);
  std::vector<RegValue> values;
  ASSERT_EQ(RegEnumValues(key, values), kErrorSuccess);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].name, "Keep");
  EXPECT_EQ(values[1].name, "New");
  RegKey old;
  EXPECT_EQ(RegOpenKey(Hive::LocalMachine, "A\\Old", old), kErrorFileNotFound);

  const std::string before = ReadWholeFile(Hive());
  std::string problem;
  EXPECT_EQ(
      RegImport(Hive::LocalMachine,
                "REGEDIT4\n[HKLM\\Fresh]\n\"a\"=\"b\"\n[HKLM\\A]\n\"Keep\"=-\n\"bad\"=dword:xyz\n",
                &problem),
      kErrorInvalidParameter);
  EXPECT_EQ(problem, "line 6: dword: takes up to 8 hex digits");
  EXPECT_EQ(ReadWholeFile(Hive()), before);
  EXPECT_EQ(RegOpenKey(Hive::LocalMachine, "Fresh", old), kErrorFileNotFound);
  std::uint32_t number = 0;
  EXPECT_EQ(RegQueryDword(key, "Keep", number), kErrorSuccess);
}

}  // namespace
}  // namespace faxmail::platform
