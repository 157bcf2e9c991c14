// The attachment list and files that the gateway's sink makes of whole messages: names in the
// extended form, long names, HTML files, and the log of the parts that are not kept.
#include "gateway/smtp_in/spool_sink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "gateway/decode/decode_message.h"
#include "gateway/queue/counters.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "platform/registry.h"
#include "tests/support/test_support.h"
#include "tests/unit/decode/decode_test_support.h"

namespace faxmail::decode {
namespace {

namespace fs = std::filesystem;
using faxmail::test::ReadWholeFile;

class SpoolSinkTest : public faxmail::test::RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    m_data = Root() + "/data/";
    ASSERT_TRUE(fs::create_directories(m_data + "OUT"));
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    ASSERT_EQ(platform::RegSetString(key, "ProgramPath", m_data), 0);
    ASSERT_EQ(platform::RegSetString(key, "logfileb", Root() + "/secondary.log"), 0);
    platform::RegCloseKey(key);
    GetDebugSettings2();
    ResetFileNameFlags();
  }
  void TearDown() override {
    platform::RegKey key;
    platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key);
    platform::RegDeleteValue(key, "logfileb");
    platform::RegCloseKey(key);
    GetDebugSettings2();
    RootTest::TearDown();
  }

  // The attachment list that decoding the message leaves.
  std::string Decode(const std::string& message) {
    const std::string list = m_data + "OUT/att.lst";
    fs::remove(list);
    test::ConsoleCapture console;
    auto reader = test::MemoryReader(message);
    const EnvelopeList envelope;
    SpoolSink sink({m_data + "OUT/envelope", m_data + "OUT/Msgcnt.imp", list, m_data}, envelope);
    EXPECT_EQ(DecodeMessage(*reader, "text/plain", false, sink), 0);
    EXPECT_FALSE(sink.Failed());
    return fs::exists(list) ? ReadWholeFile(list) : std::string();
  }
  std::string Log() const {
    const std::string path = Root() + "/secondary.log";
    return fs::exists(path) ? ReadWholeFile(path) : std::string();
  }

  std::string m_data;
};

std::string Mixed(const std::vector<std::string>& parts) {
  std::string m = "From: a@example.org\nContent-Type: multipart/mixed; boundary=z\n\n";
  for (const auto& p : parts) m += "--z\n" + p + "\n";
  return m + "--z--\n";
}

TEST_F(SpoolSinkTest, NamesInTheExtendedFormAreListed) {
  const std::string list = Decode(Mixed({
      "\nSee the files.",
      "Content-Type: application/pdf\n"
      "Content-Disposition: attachment; filename*=UTF-8''%E2%82%AC%20rates.pdf\n\n%PDF",
      "Content-Type: application/pdf\n"
      "Content-Disposition: attachment;\n filename*0*=UTF-8''%D0%94%D0%BE%D0%B3;\n"
      " filename*1*=%D0%BE%D0%B2%D0%BE%D1%80.pdf\n\n%PDF",
      "Content-Type: text/plain; name*=iso-8859-1'fr'caf%E9.txt\n\nmenu",
      "Content-Type: image/png; name*1=\".png\"; name*0=scan\nContent-Transfer-Encoding: base64\n\n"
      "iVBORw==",
  }));
  EXPECT_EQ(list,
            "<<\xE2\x82\xAC rates.pdf:ATT0.pdf>>\r\n"
            "<<\xD0\x94\xD0\xBE\xD0\xB3\xD0\xBE\xD0\xB2\xD0\xBE\xD1\x80.pdf:ATT1.pdf>>\r\n"
            "<<caf\xE9.txt:ATT2.txt>>\r\n"
            "<<scan.png:ATT3.png>>\r\n");
  EXPECT_EQ(ReadWholeFile(m_data + "OUT/ATT2.txt"), "menu");  // a text part, kept as a file
  EXPECT_EQ(ReadWholeFile(m_data + "OUT/ATT3.png"), "\x89PNG");
  EXPECT_EQ(ReadWholeFile(m_data + "OUT/Msgcnt.imp"), "See the files.");
}

TEST_F(SpoolSinkTest, ALongRussianNameKeepsItsExtension) {
  std::string stem = "\xD0\xB3. ";  // "ge", dot, blank: an abbreviation early in the name
  for (int i = 0; i < 60; ++i) stem += "\xD0\x94";
  const std::string list = Decode(Mixed({
      "Content-Type: application/pdf; name=\"" + stem + ".pdf\"\n\n%PDF",
  }));
  std::string expected = "\xD0\xB3. ";
  for (int i = 0; i < 45; ++i) expected += "\xD0\x94";
  EXPECT_EQ(list, "<<" + expected + ".pdf:ATT0.pdf>>\r\n");
  EXPECT_TRUE(fs::exists(m_data + "OUT/ATT0.pdf"));
}

TEST_F(SpoolSinkTest, HtmlFilesAreKeptAndEveryDroppedPartIsLogged) {
  const std::string list = Decode(Mixed({
      "Content-Type: multipart/alternative; boundary=alt\n\n"
      "--alt\nContent-Type: text/plain\n\nplain body\n"
      "--alt\nContent-Type: text/html; charset=utf-8\n\n<p>html body</p>\n"
      "--alt--",
      "Content-Type: text/html\nContent-Disposition: attachment; filename=\"page.html\"\n\n"
      "<html>page</html>",
      "Content-Type: text/html\nContent-Disposition: attachment\n\n<html>unnamed</html>",
      "Content-Type: message/delivery-status\n\nReporting-MTA: dns; x",
  }));
  EXPECT_EQ(list, "<<page.html:ATT0.htm>>\r\n<<attachment.htm:ATT1.htm>>\r\n");
  EXPECT_EQ(ReadWholeFile(m_data + "OUT/ATT0.htm"), "<html>page</html>");
  EXPECT_EQ(ReadWholeFile(m_data + "OUT/ATT1.htm"), "<html>unnamed</html>");
  EXPECT_EQ(ReadWholeFile(m_data + "OUT/Msgcnt.imp"), "plain body");
  const std::string log = Log();
  const auto html = log.find("DECODE - Part not kept: text/html ");
  ASSERT_NE(html, std::string::npos) << log;
  EXPECT_EQ(log.find("DECODE - Part not kept: text/html ", html + 1), std::string::npos) << log;
  const auto status = log.find("DECODE - Part not kept: message/delivery-status ");
  EXPECT_NE(status, std::string::npos) << log;
  const auto count = log.find("DECODE - Parts not kept: 2 ");
  EXPECT_NE(count, std::string::npos) << log;
  EXPECT_GT(count, status);
  EXPECT_NE(log.find("(DECODE - "), std::string::npos);
}

TEST_F(SpoolSinkTest, AMessageThatKeepsEverythingLogsNoCount) {
  Decode(Mixed({"\nbody", "Content-Type: application/pdf; name=a.pdf\n\n%PDF"}));
  EXPECT_EQ(Log().find("not kept"), std::string::npos) << Log();
}

// The Content-MD5 check: a part whose decoded data does not match its value is reported as
// corrupted and kept all the same; a matching one, or one without the header (which is then not
// digested at all), is kept without a word.
TEST_F(SpoolSinkTest, ContentMd5IsCheckedWhereThePartCarriesIt) {
  // MD5 of "data" (RFC 1321) in base64, as the header carries it.
  constexpr char kDigestOfData[] = "jXd/OF09/siBXSD3SWAm3A==";
  struct Case {
    const char* what;
    std::string header;  // the Content-MD5 line, if any
    bool corrupted;
  };
  const Case cases[] = {
      {"matching", std::string("Content-MD5: ") + kDigestOfData + "\n", false},
      {"matching, with a comment after it",
       std::string("Content-MD5: ") + kDigestOfData + " (sent as is)\n", false},
      {"not matching", "Content-MD5: AAAAAAAAAAAAAAAAAAAAAA==\n", true},
      {"absent", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(m_data + "OUT");
    fs::create_directories(m_data + "OUT");
    ResetFileNameFlags();
    test::ConsoleCapture console;
    // The reader reads the text where it is: it must outlive the decode.
    const std::string message = Mixed({"\nbody",
                                       "Content-Type: application/octet-stream; name=d.bin\n"
                                       "Content-Transfer-Encoding: base64\n" +
                                           c.header + "\nZGF0YQ=="});
    auto reader = test::MemoryReader(message);
    const EnvelopeList envelope;
    SpoolSink sink(
        {m_data + "OUT/envelope", m_data + "OUT/Msgcnt.imp", m_data + "OUT/att.lst", m_data},
        envelope);
    EXPECT_EQ(DecodeMessage(*reader, "text/plain", false, sink), 0);
    EXPECT_FALSE(sink.Failed());
    ASSERT_EQ(sink.AttachmentFiles().size(), 1u);
    const std::string path = sink.AttachmentFiles()[0];
    EXPECT_EQ(ReadWholeFile(path), "data");
    EXPECT_EQ(console.err, c.corrupted ? "munpack: warning: " + path + " was corrupted in transit\n"
                                       : std::string());
  }
}

// The list is made when the first attachment is saved, once, and not for a message without one.
// One that cannot be made fails every attachment (none is saved unlisted) without being asked
// for again, while the message text is still written.
TEST_F(SpoolSinkTest, TheListIsMadeForTheFirstAttachmentAndOnlyThen) {
  struct Case {
    const char* what;
    std::string message;
    bool listMade;
    int expectedAsks;
    bool expectedFailed;
    std::vector<std::string> expectedFiles;  // in OUT, besides the envelope and Msgcnt.imp
  };
  const std::string twoFiles =
      Mixed({"\nSee the files.", "Content-Type: application/pdf; name=a.pdf\n\n%PDF",
             "Content-Type: application/pdf; name=b.pdf\n\n%PDF"});
  const std::vector<Case> cases = {
      {"text only", "From: a@example.org\n\nbody\n", true, 0, false, {}},
      {"two attachments", twoFiles, true, 1, false, {"ATT0.pdf", "ATT1.pdf", "made.lst"}},
      {"no list to be had", twoFiles, false, 1, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(m_data + "OUT");
    fs::create_directories(m_data + "OUT");
    ResetFileNameFlags();
    int asks = 0;
    SpoolSinkSettings settings{m_data + "OUT/envelope", m_data + "OUT/Msgcnt.imp", {}, m_data};
    settings.makeAttachmentList = [&]() -> std::string {
      ++asks;
      if (!c.listMade) return {};
      const std::string made = m_data + "OUT/made.lst";
      faxmail::test::WriteWholeFile(made, "");
      return made;
    };
    test::ConsoleCapture console;
    auto reader = test::MemoryReader(c.message);
    const EnvelopeList envelope;
    SpoolSink sink(settings, envelope);
    DecodeMessage(*reader, "text/plain", false, sink);
    EXPECT_EQ(asks, c.expectedAsks);
    EXPECT_EQ(sink.Failed(), c.expectedFailed);
    EXPECT_EQ(sink.AttachmentListPath(),
              c.expectedAsks && c.listMade ? m_data + "OUT/made.lst" : std::string());
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(m_data + "OUT")) {
      const std::string name = entry.path().filename().string();
      if (name != "envelope" && name != "Msgcnt.imp") files.push_back(name);
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, c.expectedFiles);
    if (c.listMade && c.expectedAsks) {
      EXPECT_EQ(ReadWholeFile(m_data + "OUT/made.lst"),
                "<<a.pdf:ATT0.pdf>>\r\n<<b.pdf:ATT1.pdf>>\r\n");
    }
    EXPECT_EQ(ReadWholeFile(m_data + "OUT/Msgcnt.imp").substr(0, 4),
              c.expectedAsks ? "See " : "body");
  }
}

}  // namespace
}  // namespace faxmail::decode
