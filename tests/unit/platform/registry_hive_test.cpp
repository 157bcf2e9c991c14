// The registry store's hive file: values through the file and through an administrator's hand
// edits, a damaged or oversized hive reported and never replaced, and imports that delete.
// Only the backend whose hive is a file of its own has these.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/unit/platform/registry_test_fixture.h"

namespace faxmail::platform {
namespace {

using test::ReadWholeFile;
using test::WriteWholeFile;

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

// Whatever happens to the hive file or a folder of its path outside the store, the next
// operation of this process reads what the path names then, although it holds a parsed copy
// of what was there (and has not looked at the path since it last found it unchanged).
TEST_F(RegistryTest, HiveChangedOutsideTheStoreIsReadAgainByTheNextOperation) {
  namespace fs = std::filesystem;
  const std::string folder = ParentFolder(Hive());
  const struct {
    const char* what;
    std::function<void(const std::string& text)> change;
  } cases[] = {
      {"written into in place, the same size",
       [&](const std::string& text) {
         std::FILE* f = std::fopen(Hive().c_str(), "r+");
         ASSERT_NE(f, nullptr);
         std::fwrite(text.data(), 1, text.size(), f);
         std::fclose(f);
       }},
      {"replaced by rename", [&](const std::string& text) { ReplaceHive(text); }},
      {"its folder moved away, another hive put at the path",
       [&](const std::string& text) {
         fs::rename(folder, folder + ".old");
         fs::create_directory(folder);
         WriteWholeFile(Hive(), text);
       }},
      {"a folder above moved away, another hive put at the path",
       [&](const std::string& text) {
         const std::string above = ParentFolder(folder);
         fs::rename(above, above + ".old");
         fs::create_directories(folder);
         WriteWholeFile(Hive(), text);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RegKey key = Create(kGatewayKey);
    ASSERT_EQ(RegSetDword(key, "Word", 1), kErrorSuccess);
    const std::string text = HiveText();
    const auto at = text.find("\"Word\"=dword:00000001");
    ASSERT_NE(at, std::string::npos) << text;
    std::string edited = text;
    edited[at + std::strlen("\"Word\"=dword:0000000")] = '2';
    std::uint32_t value = 0;
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(RegQueryDword(key, "Word", value), kErrorSuccess);
      EXPECT_EQ(value, 1u);
    }
    c.change(edited);
    ASSERT_EQ(RegQueryDword(key, "Word", value), kErrorSuccess);
    EXPECT_EQ(value, 2u);
    // A change through the store afterwards works on what is there now.
    ASSERT_EQ(RegSetDword(key, "Word", 3), kErrorSuccess);
    ASSERT_EQ(RegQueryDword(key, "Word", value), kErrorSuccess);
    EXPECT_EQ(value, 3u);
    std::error_code ignored;
    fs::remove_all(folder + ".old", ignored);
    fs::remove_all(ParentFolder(folder) + ".old", ignored);
    fs::remove(Hive(), ignored);
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
