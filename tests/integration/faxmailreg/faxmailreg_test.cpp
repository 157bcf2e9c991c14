// faxmailreg as administrators and the run scripts use it: a real process on a private hive,
// its output and exit status, and files written by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "tests/support/test_support.h"

namespace faxmail::platform {
namespace {

using test::ReadWholeFile;
using test::WriteWholeFile;

constexpr char kKey[] = "HKLM\\SOFTWARE\\Almoran\\Corvane SMTP Server";
constexpr char kFullKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Almoran\\Corvane SMTP Server";

class FaxmailReg : public test::RootTest {
 protected:
  // Runs faxmailreg; output is standard output and error together.
  int Run(std::vector<std::string> args, std::string* output = nullptr,
          const std::string& input = {}) {
    args.insert(args.begin(), test::BuiltProgram("tools/faxmailreg/faxmailreg"));
    std::string captured;
    const int status = test::RunProgram(args, &captured, {}, input);
    if (output) *output = captured;
    return status;
  }
  std::string Out(std::vector<std::string> args) {
    std::string output;
    EXPECT_EQ(Run(std::move(args), &output), 0) << output;
    return output;
  }
  std::vector<std::byte> Data(const char* name, std::uint32_t* type = nullptr) {
    RegKey key;
    std::vector<std::byte> data(4096);
    std::uint32_t size = 4096;
    EXPECT_EQ(RegOpenKey(Hive::LocalMachine, "SOFTWARE\\Almoran\\Corvane SMTP Server", key), 0);
    EXPECT_EQ(RegQueryValue(key, name, type, data.data(), &size), 0) << name;
    data.resize(size);
    return data;
  }
  static std::vector<std::byte> Bytes(std::string_view text) {
    const auto* p = reinterpret_cast<const std::byte*>(text.data());
    return {p, p + text.size()};
  }
};

TEST_F(FaxmailReg, AddThenQueryPrintsLikeReg) {
  EXPECT_EQ(Out({"add", kKey, "/v", "ProgramPath", "/d", "/var/fax/"}),
            "The operation completed successfully.\n");
  Out({"add", kKey, "-v", "SmtpRxPort", "-t", "REG_DWORD", "-d", "0x1d"});
  Out({"ADD", kKey, "/V", "SmtpTxPort", "/T", "reg_dword", "/D", "25"});
  Out({"add", kKey, "/ve", "/d", "say \"hi\""});
  Out({"add", kKey, "/v", "Depend", "/t", "REG_MULTI_SZ", "/d", "Tcpip\\0Afd"});
  Out({"add", kKey, "/v", "Bin", "/t", "REG_BINARY", "/d", "00ff1D"});
  Out({"add", kKey, "/v", "Exp", "/t", "REG_EXPAND_SZ", "/d", "%TMP%/x"});
  Out({"add", std::string(kKey) + "\\Sub"});

  EXPECT_EQ(Out({"query", kKey}), std::string("\n") + kFullKey +
                                      "\n"
                                      "    ProgramPath    REG_SZ    /var/fax/\n"
                                      "    SmtpRxPort    REG_DWORD    0x1d\n"
                                      "    SmtpTxPort    REG_DWORD    0x19\n"
                                      "    (Default)    REG_SZ    say \"hi\"\n"
                                      "    Depend    REG_MULTI_SZ    Tcpip\\0Afd\n"
                                      "    Bin    REG_BINARY    00FF1D\n"
                                      "    Exp    REG_EXPAND_SZ    %TMP%/x\n"
                                      "\n" +
                                      kFullKey + "\\Sub\n\n");
  EXPECT_EQ(Out({"query", kKey, "/v", "smtprxport"}),
            std::string("\n") + kFullKey + "\n    SmtpRxPort    REG_DWORD    0x1d\n\n");
  EXPECT_EQ(Out({"query", kKey, "-ve"}),
            std::string("\n") + kFullKey + "\n    (Default)    REG_SZ    say \"hi\"\n\n");
  EXPECT_EQ(Out({"query", "HKEY_LOCAL_MACHINE\\software", "/s", "/v", "Bin"}),
            std::string("\n") + kFullKey +
                "\n    Bin    REG_BINARY    00FF1D\n\n"
                "End of search: 1 match(es) found.\n");
  const std::string all = Out({"query", "HKLM\\SOFTWARE", "/s"});
  EXPECT_NE(all.find("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Almoran\n"), std::string::npos) << all;
  EXPECT_NE(all.find(std::string("\n") + kFullKey + "\\Sub\n"), std::string::npos) << all;

  // What the store holds is what the gateway reads.
  std::uint32_t type = 0;
  EXPECT_EQ(Data("ProgramPath", &type), Bytes(std::string("/var/fax/\0", 10)));
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(Data("SmtpRxPort", &type), Bytes(std::string("\x1d\0\0\0", 4)));
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(Data("Depend", &type), Bytes(std::string("Tcpip\0Afd\0\0", 11)));
  EXPECT_EQ(type, kRegMultiSz);
  EXPECT_EQ(Data("Exp", &type), Bytes(std::string("%TMP%/x\0", 8)));
  EXPECT_EQ(type, kRegExpandSz);
  EXPECT_EQ(Data("Bin"), Bytes(std::string("\x00\xff\x1d", 3)));
}

TEST_F(FaxmailReg, MultiStringSeparatorAndNumbers) {
  Out({"add", kKey, "/v", "Depend", "/t", "REG_MULTI_SZ", "/s", "/", "/d", "Tcpip/Afd"});
  EXPECT_EQ(Data("Depend"), Bytes(std::string("Tcpip\0Afd\0\0", 11)));
  Out({"add", kKey, "/v", "Max", "/t", "REG_DWORD", "/d", "4294967295"});
  EXPECT_EQ(Data("Max"), Bytes("\xff\xff\xff\xff"));
  for (const char* bad : {"4294967296", "0x100000000", "12ab", "-1", "0x"}) {
    std::string output;
    EXPECT_EQ(Run({"add", kKey, "/v", "Bad", "/t", "REG_DWORD", "/d", bad, "/f"}, &output), 1)
        << bad;
    EXPECT_EQ(output.rfind("ERROR: Invalid REG_DWORD data", 0), 0u) << output;
  }
}

TEST_F(FaxmailReg, OverwriteAndDeleteAskUnlessForced) {
  Out({"add", kKey, "/v", "MailFrom", "/d", "old@example.org"});
  std::string output;
  EXPECT_EQ(Run({"add", kKey, "/v", "mailfrom", "/d", "new@example.org"}, &output, "n\n"), 1);
  EXPECT_NE(output.find("Value mailfrom exists, overwrite (Yes/No)? "), std::string::npos);
  EXPECT_EQ(Data("MailFrom"), Bytes(std::string("old@example.org\0", 16)));
  EXPECT_EQ(Run({"add", kKey, "/v", "MailFrom", "/d", "new@example.org"}, &output, "yes\n"), 0);
  EXPECT_EQ(Data("MailFrom"), Bytes(std::string("new@example.org\0", 16)));
  Out({"add", kKey, "/v", "MailFrom", "/d", "forced@example.org", "/f"});
  EXPECT_EQ(Data("MailFrom"), Bytes(std::string("forced@example.org\0", 19)));

  EXPECT_EQ(Run({"delete", kKey, "/v", "MailFrom"}, &output, ""), 1) << "no answer is no";
  Out({"delete", kKey, "/v", "MailFrom", "/f"});
  EXPECT_EQ(Run({"query", kKey, "/v", "MailFrom"}, &output), 1);
  EXPECT_EQ(output, "ERROR: The system was unable to find the specified registry key or value.\n");
  EXPECT_EQ(Run({"delete", kKey, "/v", "MailFrom", "/f"}, &output), 1);

  Out({"add", kKey, "/ve", "/d", "d"});
  Out({"add", kKey, "/v", "A", "/d", "a"});
  Out({"add", kKey, "/v", "B", "/d", "b"});
  Out({"add", std::string(kKey) + "\\Sub", "/v", "C", "/d", "c"});
  Out({"delete", kKey, "/ve", "/f"});
  EXPECT_EQ(Run({"query", kKey, "/ve"}, &output), 1);
  Out({"delete", kKey, "/va", "/f"});
  EXPECT_EQ(Out({"query", kKey}), std::string("\n") + kFullKey + "\n\n" + kFullKey + "\\Sub\n\n");
  EXPECT_EQ(Run({"delete", "HKLM\\SOFTWARE\\Almoran"}, &output, "no\n"), 1);
  Out({"query", kKey});
  Out({"delete", "HKLM\\SOFTWARE\\Almoran", "/f"});
  EXPECT_EQ(Run({"query", kKey}, &output), 1);
  Out({"query", "HKLM\\SOFTWARE"});
  EXPECT_EQ(Run({"delete", "HKLM", "/f"}, &output), 1);
  EXPECT_EQ(output.rfind("ERROR: Invalid key name", 0), 0u) << output;
}

TEST_F(FaxmailReg, ImportsAFileWrittenByHand) {
  const std::string file = Root() + "/seed.reg";
  WriteWholeFile(file,
                 "REGEDIT4\r\n"
                 "\r\n"
                 "; test configuration\r\n"
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Almoran\\Corvane SMTP Server]\r\n"
                 "\"ProgramPath\"=\"/srv/fax/\"\r\n"
                 "\"SmtpRxPort\"=dword:00000019\r\n"
                 "\"OUTIndex\"=dword:0\r\n"
                 "\"DependOnService\"=hex(7):54,63,70,69,70,00,\\\r\n"
                 "  00\r\n");
  std::string output;
  ASSERT_EQ(Run({"import", file}, &output), 0) << output;
  EXPECT_EQ(output, "The operation completed successfully.\n");
  EXPECT_EQ(Data("ProgramPath"), Bytes(std::string("/srv/fax/\0", 10)));
  EXPECT_EQ(Data("OUTIndex"), Bytes(std::string(4, '\0')));
  EXPECT_EQ(Data("DependOnService"), Bytes(std::string("Tcpip\0\0", 7)));
  EXPECT_EQ(Out({"query", kKey, "/v", "SmtpRxPort"}),
            std::string("\n") + kFullKey + "\n    SmtpRxPort    REG_DWORD    0x19\n\n");

  // From standard input too.
  ASSERT_EQ(Run({"import", "-"}, &output,
                "REGEDIT4\n[HKLM\\SOFTWARE\\Almoran\\Corvane SMTP Server]\n\"OUTIndex\"=-\n"),
            0)
      << output;
  EXPECT_EQ(Run({"query", kKey, "/v", "OUTIndex"}, &output), 1);

  // A file with a mistake names the line and changes nothing.
  const std::string hive = ReadWholeFile(HivePath(Hive::LocalMachine)) +
                           ReadWholeFile(HivePath(Hive::LocalMachine) + ".log");
  const std::string bad = Root() + "/bad.reg";
  WriteWholeFile(bad, "REGEDIT4\n[HKLM\\SOFTWARE\\New]\n\"Path\"=\"C:\\fax\"\n");
  EXPECT_EQ(Run({"import", bad}, &output), 1);
  EXPECT_EQ(output, "ERROR: " + bad +
                        ": line 3: unknown escape in quoted text (write \\\\ for a backslash, "
                        "\\\" for a quote)\n");
  EXPECT_EQ(ReadWholeFile(HivePath(Hive::LocalMachine)) +
                ReadWholeFile(HivePath(Hive::LocalMachine) + ".log"),
            hive);
  EXPECT_EQ(Run({"import", Root() + "/missing.reg"}, &output), 1);
  EXPECT_EQ(output.rfind("ERROR: Cannot open ", 0), 0u) << output;
}

TEST_F(FaxmailReg, ExportWritesWhatImportReads) {
  Out({"add", kKey, "/v", "ProgramPath", "/d", "/srv/fax/"});
  Out({"add", kKey, "/v", "SmtpRxPort", "/t", "REG_DWORD", "/d", "2525"});
  Out({"add", std::string(kKey) + "\\Sub", "/v", "Bin", "/t", "REG_BINARY", "/d", "0102"});
  const std::string before = Out({"query", "HKLM\\SOFTWARE", "/s"});

  const std::string file = Root() + "/out.reg";
  EXPECT_EQ(Out({"export", "HKLM\\SOFTWARE\\Almoran", file}),
            "The operation completed successfully.\n");
  const std::string text = ReadWholeFile(file);
  EXPECT_EQ(text.rfind("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Almoran]\n", 0), 0u) << text;
  EXPECT_NE(text.find("\"SmtpRxPort\"=dword:000009dd\n"), std::string::npos) << text;
  EXPECT_EQ(Out({"export", "HKLM\\SOFTWARE\\Almoran", "-"}), text);

  std::string output;
  WriteWholeFile(file, "keep me");
  EXPECT_EQ(Run({"export", "HKLM\\SOFTWARE\\Almoran", file}, &output, "n\n"), 1);
  EXPECT_EQ(ReadWholeFile(file), "keep me");
  Out({"export", "HKLM\\SOFTWARE\\Almoran", file, "/y"});
  EXPECT_EQ(ReadWholeFile(file), text);

  Out({"delete", "HKLM\\SOFTWARE", "/f"});
  Out({"import", file});
  EXPECT_EQ(Out({"query", "HKLM\\SOFTWARE", "/s"}), before);
}

TEST_F(FaxmailReg, ErrorsExitWithOne) {
  struct Case {
    std::vector<std::string> args;
    std::string error;  // the start of the output
  };
  const std::vector<Case> cases = {
      {{}, "faxmailreg: the registry hive"},
      {{"frobnicate", kKey}, "ERROR: Invalid operation: frobnicate."},
      {{"query", "HKCU\\Software"}, "ERROR: Invalid key name."},
      {{"query", kKey}, "ERROR: The system was unable to find"},
      {{"query"}, "ERROR: Invalid syntax"},
      {{"query", kKey, "/v"}, "ERROR: /v needs a value."},
      {{"add", kKey, "/v", "x", "/ve"}, "ERROR: Invalid syntax: only one of /v, /ve, /va."},
      {{"add", kKey, "/v", "x", "/t", "REG_QWERTY"}, "ERROR: Invalid type: REG_QWERTY."},
      {{"add", kKey, "/v", "x", "/t", "REG_BINARY", "/d", "abc"}, "ERROR: Invalid hex data"},
      {{"add", kKey, "/d", "x"}, "ERROR: Invalid syntax: /t, /d and /s need /v or /ve."},
      {{"add", std::string(kKey) + "\\\\Empty"}, "ERROR: The parameter is incorrect."},
      {{"delete", kKey, "/f"}, "ERROR: The system was unable to find"},
      {{"export", kKey}, "ERROR: Invalid syntax"},
      {{"import"}, "ERROR: Invalid syntax"},
  };
  for (const auto& c : cases) {
    std::string output;
    EXPECT_EQ(Run(c.args, &output), 1) << c.error;
    EXPECT_EQ(output.rfind(c.error, 0), 0u) << output;
  }
  std::string output;
  EXPECT_EQ(Run({"/?"}, &output), 0);
  EXPECT_EQ(output.rfind("faxmailreg: the registry hive", 0), 0u);
  EXPECT_FALSE(FileExists(HivePath(Hive::LocalMachine))) << "no failed command wrote a hive";
}

TEST_F(FaxmailReg, DamagedHiveIsReportedWithItsLine) {
  Out({"add", kKey, "/v", "x", "/d", "y"});
  const std::string hive = HivePath(Hive::LocalMachine);
  const std::string damaged = "REGEDIT4\n\n[HKLM\\A]\n\"x\"=dword:nothex\n";
  WriteWholeFile(hive, damaged);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"query", kKey},
        std::vector<std::string>{"add", kKey, "/v", "z", "/d", "1", "/f"}}) {
    std::string output;
    EXPECT_EQ(Run(args, &output), 1);
    EXPECT_EQ(output, "ERROR: The configuration registry database is corrupt. " + hive +
                          " line 4: dword: takes up to 8 hex digits\n");
  }
  EXPECT_EQ(ReadWholeFile(hive), damaged);
}

}  // namespace
}  // namespace faxmail::platform
