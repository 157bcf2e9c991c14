// Ready files for the gateway's sender: the bytes it reads, and the way they reach IN (the
// attachment whole before the ready name, the ready name last, nothing left on a failure).
#include "tools/faxmailsim/ready_file.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/file.h"
#include "tests/support/test_support.h"

namespace faxmail::sim {
namespace {

using test::ReadWholeFile;
using test::WriteWholeFile;

std::vector<std::string> Names(const std::string& folder) {
  std::vector<platform::DirEntry> entries;
  platform::FindFiles(folder, "*", entries);
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ReadyFileText, NotificationAsTheSenderReadsIt) {
  ReadyFile file;
  file.from = "Fax Server <fax@host.test>";
  file.to = "alice@mail.test";
  file.subject = "Fax to 5550100 sent OK";
  file.body = {"Your fax to 5550100 was sent OK: 2 pages.", "Subject : Report"};
  file.attachments = {{"fax.tif", "/nowhere"}};
  EXPECT_EQ(ReadyFileText(file, {"SIM00000001.tif"}),
            "FROM: Fax Server <fax@host.test>\r\n"
            "TO: <alice@mail.test>\r\n"
            "SUBJECT: Fax to 5550100 sent OK\r\n"
            "\r\n"
            "BEGIN BODY\r\n"
            "\r\n"
            "Your fax to 5550100 was sent OK: 2 pages.\r\n"
            "Subject : Report\r\n"
            "\r\n"
            "END BODY\r\n"
            "\r\n"
            "BEGIN ATTACH\r\n"
            "<<fax.tif:SIM00000001.tif>>\r\n"
            "END ATTACH\r\n");
}

TEST(ReadyFileText, WithoutAttachmentsHasNoAttachSection) {
  ReadyFile file;
  file.to = "a@b.test";
  file.subject = "s";
  const std::string text = ReadyFileText(file, {});
  EXPECT_TRUE(text.ends_with("\r\nEND BODY\r\n\r\n")) << text;
  EXPECT_EQ(text.find("ATTACH"), std::string::npos);
}

TEST(ReadyFileText, OutsideTextCannotSteerTheSender) {
  ReadyFile file;
  file.to = "a@b.test";
  file.subject = "Fax to 1 sent OK";
  // An original subject that carries the sender's keywords, line breaks and a lone dot.
  file.body = {"Subject : SUBJECT: rejected FROM: x\r\nTO: <evil@x.test>", ".",
               std::string(400, 'y')};
  file.attachments = {{"a<b>:c.tif", "/nowhere"}};
  const std::string text = ReadyFileText(file, {"SIM1.tif"});
  EXPECT_NE(text.find("\r\nSubject : SUBJECT : rejected FROM : x??TO: <evil@x.test>\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\r\n. \r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n" + std::string(kMaxReadyLine, 'y') + "\r\n"), std::string::npos);
  EXPECT_NE(text.find("<<a_b__c.tif:SIM1.tif>>"), std::string::npos) << text;
  // Only the header's own lines carry the keywords.
  EXPECT_EQ(text.find("SUBJECT:"), text.rfind("SUBJECT:"));
  EXPECT_EQ(text.find("FROM:"), text.rfind("FROM:"));
}

class PutReadyFileTest : public test::RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    m_in = Root() + "/IN/";
    ASSERT_EQ(platform::CreateDirectory(m_in), 0);
  }
  std::string m_in;
};

TEST_F(PutReadyFileTest, AttachmentArrivesWholeUnderAShortNameAndTheReadyNameLast) {
  std::string image;
  for (int i = 0; i < 200000; ++i) image += static_cast<char>(i * 7);
  WriteWholeFile(Root() + "/image.tif", image);
  ReadyFile file;
  file.from = "F <f@x.test>";
  file.to = "a@b.test";
  file.subject = "Fax received from 5551234";
  file.body = {"b"};
  file.attachments = {{"fax.tif", Root() + "/image.tif"}};
  std::string ready;
  ASSERT_EQ(PutReadyFile(m_in, file, ready), "");
  const auto names = Names(m_in);
  ASSERT_EQ(names.size(), 2u);
  const std::string stem = ready.substr(0, ready.size() - 4);
  EXPECT_EQ(names[0], stem + ".tif");
  EXPECT_EQ(names[1], ready);
  EXPECT_TRUE(ready.ends_with(".tmp"));
  EXPECT_LE(names[0].size(), 21u);
  EXPECT_EQ(ReadWholeFile(m_in + names[0]), image);
  EXPECT_EQ(ReadWholeFile(m_in + ready), ReadyFileText(file, {names[0]}));
}

TEST_F(PutReadyFileTest, EachFileGetsItsOwnNames) {
  ReadyFile file;
  file.to = "a@b.test";
  file.subject = "s";
  std::set<std::string> readies;
  for (int i = 0; i < 5; ++i) {
    std::string ready;
    ASSERT_EQ(PutReadyFile(m_in, file, ready), "");
    readies.insert(ready);
  }
  EXPECT_EQ(readies.size(), 5u);
  EXPECT_EQ(Names(m_in).size(), 5u);
}

TEST_F(PutReadyFileTest, AFailedCopyLeavesNothingInIn) {
  WriteWholeFile(Root() + "/first.tif", "first");
  ReadyFile file;
  file.to = "a@b.test";
  file.subject = "s";
  file.attachments = {{"one.tif", Root() + "/first.tif"}, {"two.tif", Root() + "/missing.tif"}};
  std::string ready;
  const std::string failed = PutReadyFile(m_in, file, ready);
  EXPECT_NE(failed.find("missing.tif"), std::string::npos) << failed;
  EXPECT_TRUE(ready.empty());
  EXPECT_TRUE(Names(m_in).empty());
}

TEST_F(PutReadyFileTest, AttachmentOverTheLimitIsRefused) {
  {
    platform::File big;
    ASSERT_EQ(platform::File::Open(Root() + "/big.tif", platform::Access::Write,
                                   platform::Share::None, platform::Disposition::CreateNew, big),
              0);
    ASSERT_EQ(big.Truncate(kMaxAttachmentBytes + 1), 0);  // sparse: no disk used
  }
  ReadyFile file;
  file.to = "a@b.test";
  file.subject = "s";
  file.attachments = {{"fax.tif", Root() + "/big.tif"}};
  std::string ready;
  EXPECT_NE(PutReadyFile(m_in, file, ready).find("larger than"), std::string::npos);
  EXPECT_TRUE(Names(m_in).empty());
}

TEST_F(PutReadyFileTest, MissingFolderIsAnError) {
  ReadyFile file;
  std::string ready;
  EXPECT_NE(PutReadyFile(Root() + "/nowhere/", file, ready).find("no folder"), std::string::npos);
}

}  // namespace
}  // namespace faxmail::sim
