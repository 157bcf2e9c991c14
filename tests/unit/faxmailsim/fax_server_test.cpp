// Whole envelopes taken from OUT by the stand-in, in its own process and through its object:
// a refused envelope is set aside with everything it names, a held one is left alone, and a
// good one becomes records, a Class F image and notifications (those need Ghostscript).
#include "tools/faxmailsim/fax_server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "tests/support/mail_peers.h"
#include "tests/support/peers.h"
#include "tests/support/test_support.h"
#include "tools/faxmailsim/envelope.h"
#include "tools/faxmailsim/fax_image.h"

namespace faxmail::sim {
namespace {

using test::ReadWholeFile;
using test::WriteWholeFile;

constexpr char kGhostscript[] = "/usr/bin/gs";

std::vector<std::string> Names(const std::string& folder, const char* pattern = "*") {
  std::vector<platform::DirEntry> entries;
  platform::FindFiles(folder, pattern, entries);
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  return names;
}

const std::string kEnvelope =
    "FROM: <alice@mail.test>\r\n"
    "TO: \"5550100\" <5550100@fax.test>\r\n"
    "TO: \"5550199\" <555-0199@fax.test>\r\n"
    "TO: \"Bob\" <bob@fax.test>\r\n"
    "SUBJECT: Quarterly (report)\r\n"
    "\r\nBEGIN BODY\r\n<<ENV12.bdy>>\r\nEND BODY\r\n\r\n"
    "BEGIN ATTACH\r\n<<notes.txt:ATT1.txt>>\r\n<<photo.jpg:ATT2.jpg>>\r\nEND ATTACH\r\n";

class FaxServerTest : public test::RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    m_data = Root() + "/data/";
    ASSERT_TRUE(platform::EnsureDirectories(m_data + "OUT"));
    ASSERT_TRUE(platform::EnsureDirectories(m_data + "IN"));
    m_sent = Root() + "/sent";
  }
  std::string Out(const std::string& name) const { return m_data + "OUT/" + name; }
  void PutGoodEnvelope() {
    WriteWholeFile(Out("ENV12.bdy"), "Dear fax,\r\nthe numbers (all of them) are in.\r\n");
    WriteWholeFile(Out("ATT1.txt"), "a text attachment\r\n");
    WriteWholeFile(Out("ATT2.jpg"), std::string("\xff\xd8\xff\xe0\0\x10JFIF", 10));
    WriteWholeFile(Out("ENV12.tmp"), kEnvelope);
  }
  FaxServer Server(std::set<std::string> refused = {}) {
    return FaxServer({m_data, m_sent, std::move(refused)});
  }
  std::string m_data;
  std::string m_sent;
};

TEST_F(FaxServerTest, HostileEnvelopeIsSetAsideWithItsFilesUntouched) {
  const std::string hostile =
      "FROM: <a@b.test>\r\nTO: <1@f.test>\r\nSUBJECT: s\r\n\r\nBEGIN BODY\r\n<<ENV3.bdy>>\r\n"
      "END BODY\r\n\r\nBEGIN ATTACH\r\n<<x:../../etc/passwd>>\r\nEND ATTACH\r\n";
  WriteWholeFile(Out("ENV3.tmp"), hostile);
  WriteWholeFile(Out("ENV3.bdy"), "text");
  std::ostringstream report, errors;
  EXPECT_EQ(Server().HandleEnvelope("ENV3.tmp", report, errors), Taken::Failed);
  EXPECT_EQ(report.str(), "");
  EXPECT_NE(errors.str().find("ENV3.tmp refused: line 10: not a plain file name in OUT: "
                              "../../etc/passwd; set aside as ENV3.Refused"),
            std::string::npos)
      << errors.str();
  EXPECT_EQ(Names(m_data + "OUT"), (std::vector<std::string>{"ENV3.Refused", "ENV3.bdy"}));
  EXPECT_EQ(ReadWholeFile(Out("ENV3.Refused")), hostile);
  EXPECT_TRUE(Names(m_data + "IN").empty());
  EXPECT_FALSE(platform::DirectoryExists(m_sent));
}

TEST_F(FaxServerTest, HugeEnvelopeIsRefusedWithoutBeingReadWhole) {
  WriteWholeFile(Out("ENV4.tmp"), std::string(kMaxEnvelopeBytes * 4, 'x'));
  std::ostringstream report, errors;
  EXPECT_EQ(Server().HandleReady(report, errors), 1);
  EXPECT_NE(errors.str().find("ENV4.tmp refused: larger than"), std::string::npos) << errors.str();
  EXPECT_EQ(Names(m_data + "OUT"), std::vector<std::string>{"ENV4.Refused"});
}

TEST_F(FaxServerTest, EnvelopeThatIsALinkIsNotFollowed) {
  WriteWholeFile(Root() + "/elsewhere", kEnvelope);
  ASSERT_EQ(symlink((Root() + "/elsewhere").c_str(), Out("ENV5.tmp").c_str()), 0);
  std::ostringstream report, errors;
  EXPECT_EQ(Server().HandleEnvelope("ENV5.tmp", report, errors), Taken::Failed);
  EXPECT_NE(errors.str().find("cannot be opened as a file"), std::string::npos) << errors.str();
  EXPECT_EQ(ReadWholeFile(Root() + "/elsewhere"), kEnvelope);
  EXPECT_TRUE(Names(m_data + "IN").empty());
}

TEST_F(FaxServerTest, EnvelopeHeldByAnotherIsLeftForLater) {
  PutGoodEnvelope();
  platform::File held;
  ASSERT_EQ(platform::File::Open(Out("ENV12.tmp"), platform::Access::Read, platform::Share::None,
                                 platform::Disposition::OpenExisting, held),
            0);
  std::ostringstream report, errors;
  EXPECT_EQ(Server().HandleReady(report, errors), 0);
  EXPECT_EQ(errors.str(), "");
  EXPECT_EQ(ReadWholeFile(Out("ENV12.tmp")), kEnvelope);
  EXPECT_TRUE(Names(m_data + "IN").empty());
}

TEST_F(FaxServerTest, EnvelopeBecomesRecordsImagesAndNotifications) {
  FAXMAIL_REQUIRE_PEER(kGhostscript);
  PutGoodEnvelope();
  std::ostringstream report, errors;
  ASSERT_EQ(Server({"5550199"}).HandleReady(report, errors), 0) << errors.str();
  EXPECT_EQ(errors.str(), "");
  // Everything of the envelope is gone from OUT.
  EXPECT_TRUE(Names(m_data + "OUT").empty());

  const std::string first = m_sent + "/ENV12-1-5550100/";
  EXPECT_EQ(report.str(), "faxmailsim: ENV12 to 5550100 sent OK, 3 pages, " + first +
                              "fax.tif\n"
                              "faxmailsim: ENV12 to 555-0199 rejected, 3 pages, " +
                              m_sent +
                              "/ENV12-2-555-0199/fax.tif\n"
                              "faxmailsim: ENV12 to bob rejected, 3 pages, " +
                              m_sent + "/ENV12-3-bob/fax.tif\n");
  EXPECT_EQ(Names(first), (std::vector<std::string>{"ATT1.txt", "ATT2.jpg", "envelope", "fax.tif",
                                                    "message.txt", "result"}));
  EXPECT_EQ(ReadWholeFile(first + "envelope"), kEnvelope);
  EXPECT_EQ(ReadWholeFile(first + "ATT1.txt"), "a text attachment\r\n");
  std::size_t pages = 0;
  std::string error;
  ASSERT_TRUE(CountTiffPages(first + "fax.tif", pages, error)) << error;
  EXPECT_EQ(pages, 3u);  // message text, the text attachment, the list of the others
  const std::string result = ReadWholeFile(first + "result");
  EXPECT_NE(result.find("number: 5550100\n"), std::string::npos) << result;
  EXPECT_NE(result.find("sender: alice@mail.test\n"), std::string::npos);
  EXPECT_NE(result.find("pages: 3\nresult: sent OK\n"), std::string::npos);
  EXPECT_NE(ReadWholeFile(m_sent + "/ENV12-2-555-0199/result").find("result: rejected\n"),
            std::string::npos);
  // No scratch folder is left behind.
  EXPECT_EQ(Names(m_sent),
            (std::vector<std::string>{"ENV12-1-5550100", "ENV12-2-555-0199", "ENV12-3-bob"}));

  // One notification each, to the mail sender, with the image as recorded.
  const auto readies = Names(m_data + "IN", "*.tmp");
  ASSERT_EQ(readies.size(), 3u);
  std::map<std::string, std::string> bySubject;
  for (const std::string& name : readies) {
    const std::string text = ReadWholeFile(m_data + "IN/" + name);
    EXPECT_NE(text.find("\r\nTO: <alice@mail.test>\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\nSubject : Quarterly (report)\r\n"), std::string::npos) << text;
    const auto at = text.find("SUBJECT: ") + 9;
    bySubject[text.substr(at, text.find('\r', at) - at)] = text;
  }
  ASSERT_EQ(bySubject.count("Fax to 5550100 sent OK"), 1u);
  EXPECT_EQ(bySubject.count("Fax to 555-0199 rejected"), 1u);
  EXPECT_EQ(bySubject.count("Fax to bob rejected"), 1u);
  const std::string& ok = bySubject["Fax to 5550100 sent OK"];
  const auto open = ok.find("<<fax.tif:") + 10;
  const std::string image = ok.substr(open, ok.find(">>", open) - open);
  EXPECT_EQ(ReadWholeFile(m_data + "IN/" + image), ReadWholeFile(first + "fax.tif"));
}

TEST_F(FaxServerTest, RecordFolderTakenBeforeGetsANumber) {
  FAXMAIL_REQUIRE_PEER(kGhostscript);
  WriteWholeFile(Out("ENV12.bdy"), "x");
  WriteWholeFile(Out("ENV12.tmp"),
                 "FROM: <a@b.test>\r\nTO: <5550100@f.test>\r\nSUBJECT: s\r\n\r\nBEGIN BODY\r\n"
                 "<<ENV12.bdy>>\r\nEND BODY\r\n\r\n");
  ASSERT_TRUE(platform::EnsureDirectories(m_sent + "/ENV12-1-5550100"));
  std::ostringstream report, errors;
  ASSERT_EQ(Server().HandleReady(report, errors), 0) << errors.str();
  EXPECT_TRUE(platform::FileExists(m_sent + "/ENV12-1-5550100-2/fax.tif"));
  EXPECT_TRUE(Names(m_sent + "/ENV12-1-5550100").empty());
}

TEST_F(FaxServerTest, AttachmentsThatCannotBeRenderedAreListedAndTheFaxStillGoes) {
  FAXMAIL_REQUIRE_PEER(kGhostscript);
  WriteWholeFile(Out("ENV8.bdy"), "see attached\r\n");
  WriteWholeFile(Out("ATT5.pdf"), "%PDF-1.4\nthis is no PDF at all\n");
  WriteWholeFile(Out("ATT6.ps"),
                 "%!PS\n/Courier findfont 12 scalefont setfont 72 700 moveto "
                 "(a PostScript page) show showpage\n");
  WriteWholeFile(Out("ENV8.tmp"),
                 "FROM: <a@b.test>\r\nTO: <5550100@f.test>\r\nSUBJECT: s\r\n\r\nBEGIN BODY\r\n"
                 "<<ENV8.bdy>>\r\nEND BODY\r\n\r\nBEGIN ATTACH\r\n<<broken.pdf:ATT5.pdf>>\r\n"
                 "<<page.ps:ATT6.ps>>\r\n<<gone.doc:ATT7.doc>>\r\nEND ATTACH\r\n");
  std::ostringstream report, errors;
  ASSERT_EQ(Server().HandleReady(report, errors), 0) << errors.str();
  // The message text, the PostScript page, and the list of the two others.
  EXPECT_NE(report.str().find("sent OK, 3 pages"), std::string::npos) << report.str();
  const std::string result = ReadWholeFile(m_sent + "/ENV8-1-5550100/result");
  EXPECT_NE(result.find("not shown: broken.pdf (ATT5.pdf): Ghostscript "), std::string::npos)
      << result;
  EXPECT_NE(result.find("not shown: gone.doc (ATT7.doc): missing\n"), std::string::npos) << result;
  EXPECT_EQ(result.find("page.ps"), std::string::npos) << result;
  EXPECT_TRUE(Names(m_data + "OUT").empty());
}

TEST(RefusalList, NumbersCommentsAndBlankLines) {
  test::TempDir dir;
  WriteWholeFile(dir / "list", "# refused\n555-0100\n\n  +1 555 0199  # a comment\r\n#x\n");
  std::set<std::string> numbers;
  EXPECT_EQ(ReadRefusalList(dir / "list", numbers), "");
  EXPECT_EQ(numbers, (std::set<std::string>{"5550100", "15550199"}));
  EXPECT_NE(ReadRefusalList(dir / "missing", numbers), "");
}

// The program itself.
class FaxmailsimProgram : public FaxServerTest {
 protected:
  std::string Program() const { return test::BuiltProgram("tools/faxmailsim/faxmailsim"); }
};

TEST_F(FaxmailsimProgram, UsageErrorsAreStatusTwo) {
  std::string output;
  EXPECT_EQ(test::RunProgram({Program(), "--bogus"}, &output), 2);
  EXPECT_NE(output.find("usage: faxmailsim"), std::string::npos);
  EXPECT_EQ(test::RunProgram({Program(), "--data"}, &output), 2);
  EXPECT_EQ(test::RunProgram({Program(), "receive", "--from", "1"}, &output), 2);
  EXPECT_EQ(test::RunProgram({Program(), "receive", "--from", "1", "--to", "x<y@z", "--image", "f",
                              "--data", m_data},
                             &output),
            2);
}

TEST_F(FaxmailsimProgram, DataDirectoryComesFromTheGatewaysKey) {
  std::string output;
  EXPECT_EQ(test::RunProgram({Program(), "--once"}, &output), 1);
  EXPECT_NE(output.find("ProgramPath is not set"), std::string::npos) << output;
  platform::RegKey key;
  ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine,
                                   "SOFTWARE\\Almoran\\Corvane SMTP Server", key),
            0);
  ASSERT_EQ(platform::RegSetString(key, "ProgramPath", m_data), 0);
  platform::RegCloseKey(key);
  WriteWholeFile(Out("ENV9.tmp"), "nonsense\r\n");
  EXPECT_EQ(test::RunProgram({Program(), "--once"}, &output), 1);
  EXPECT_NE(output.find("ENV9.tmp refused"), std::string::npos) << output;
  EXPECT_TRUE(platform::FileExists(Out("ENV9.Refused")));
  EXPECT_EQ(test::RunProgram({Program(), "--once"}, &output), 0) << output;
}

TEST_F(FaxmailsimProgram, RunsUntilTerminatedAndTakesWhatArrives) {
  FAXMAIL_REQUIRE_PEER(kGhostscript);
  const std::string log = Root() + "/sim.out";
  {
    test::BackgroundProcess sim({Program(), "--data", m_data, "--refuse", "5550100"}, log);
    PutGoodEnvelope();
    ASSERT_TRUE(test::WaitUntil([&] { return Names(m_data + "IN", "*.tmp").size() == 3; },
                                std::chrono::seconds(60)))
        << ReadWholeFile(log);
    EXPECT_TRUE(sim.Running());
  }  // SIGTERM
  const std::string output = ReadWholeFile(log);
  EXPECT_NE(output.find("faxmailsim: ENV12 to 5550100 rejected, 3 pages, " + m_sent +
                        "/ENV12-1-5550100/fax.tif\n"),
            std::string::npos)
      << output;
  EXPECT_TRUE(Names(m_data + "OUT").empty());
}

TEST_F(FaxmailsimProgram, TerminationEndsItWithStatusZero) {
  std::string output;
  // timeout sends SIGTERM and, with --preserve-status, exits with the program's own status.
  EXPECT_EQ(test::RunProgram(
                {"timeout", "--preserve-status", "-s", "TERM", "1", Program(), "--data", m_data},
                &output),
            0)
      << output;
  EXPECT_EQ(
      test::RunProgram(
          {"timeout", "--preserve-status", "-s", "INT", "1", Program(), "--data", m_data}, &output),
      0)
      << output;
}

TEST_F(FaxmailsimProgram, ReceivedFaxIsAReadyFileWithTheImage) {
  FAXMAIL_REQUIRE_PEER(kGhostscript);
  // A real two-page Class F image, as the stand-in makes them.
  PutGoodEnvelope();
  std::ostringstream report, errors;
  ASSERT_EQ(Server().HandleReady(report, errors), 0) << errors.str();
  const std::string image = m_sent + "/ENV12-1-5550100/fax.tif";
  for (const auto& name : Names(m_data + "IN")) platform::DeleteFile(m_data + "IN/" + name);

  std::string output;
  ASSERT_EQ(test::RunProgram({Program(), "receive", "--from", "5551234", "--to", "bob@dest.test",
                              "--image", image, "--data", m_data},
                             &output),
            0)
      << output;
  const auto readies = Names(m_data + "IN", "*.tmp");
  ASSERT_EQ(readies.size(), 1u);
  const std::string text = ReadWholeFile(m_data + "IN/" + readies[0]);
  EXPECT_NE(text.find("TO: <bob@dest.test>\r\nSUBJECT: Fax received from 5551234\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("You have received a fax from 5551234: 3 pages."), std::string::npos);
  const std::string stem = readies[0].substr(0, readies[0].size() - 4);
  EXPECT_NE(text.find("<<fax.tif:" + stem + ".tif>>"), std::string::npos) << text;
  EXPECT_EQ(ReadWholeFile(m_data + "IN/" + stem + ".tif"), ReadWholeFile(image));

  WriteWholeFile(Root() + "/not.tif", "not an image");
  EXPECT_EQ(test::RunProgram({Program(), "receive", "--from", "1", "--to", "b@d.test", "--image",
                              Root() + "/not.tif", "--data", m_data},
                             &output),
            1);
  EXPECT_NE(output.find("not a TIFF file"), std::string::npos) << output;
}

}  // namespace
}  // namespace faxmail::sim
