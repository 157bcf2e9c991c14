// Start-up recovery of the spool: every state a crash can leave in OUT is finished or undone,
// and an acknowledged message becomes a ready envelope exactly once.
#include <gtest/gtest.h>

#include <cstdio>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/spare_files.h"
#include "gateway/queue/counters.h"
#include "gateway/service/log.h"
#include "gateway/service/settings.h"
#include "gateway/smtp_in/smtp_in.h"
#include "gateway/smtp_in/spool_commit.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "tests/support/receiver_fixture.h"
#include "tests/support/smtp_client.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::ReadWholeFile;
using test::WriteWholeFile;

std::string Message(const std::string& subject) {
  return "Received: from relay.example by fax.example ; \r\n"
         "From: alice@example.org\r\nTo: 12345@fax.example\r\nSubject: " +
         subject + "\r\n\r\nbody of " + subject + "\r\n";
}

class RecoveryTest : public test::ReceiverTest {
 protected:
  void SetUp() override {
    test::ReceiverTest::SetUp();
    StartReceiver("logfileb", "secondary.log");
  }

  std::vector<std::string> OutFiles() {
    std::vector<platform::DirEntry> entries;
    platform::FindFiles(m_out, "*", entries);
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
  }
  // An acknowledged, undecoded message: the raw file and its commit record.
  void Acknowledged(int number, const std::string& subject) {
    const std::string raw = m_out + std::to_string(number) + ".cqx";
    WriteWholeFile(raw, Message(subject));
    ASSERT_TRUE(WriteCommitRecord(raw, {"<12345@fax.example>"}));
  }
  // The same, committed by the raw file's note: false where no note can be kept (the test is
  // then skipped).
  bool AcknowledgedByNote(int number, const std::string& subject,
                          const std::string& note = "TO:<12345@fax.example>\n",
                          const std::string& rawName = {}) {
    const std::string raw = m_out + (rawName.empty() ? std::to_string(number) + ".cqx" : rawName);
    WriteWholeFile(raw, Message(subject));
    return platform::kFileTagsSyncWithFile &&
           platform::SetFileTag(raw, kRecipientsTag, note) == platform::kErrorSuccess;
  }
  void SetKeyText(const char* name, const std::string& value) {
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    ASSERT_EQ(platform::RegSetString(key, name, value), 0);
  }
  void SetKeyNumber(const char* name, std::uint32_t value) {
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    ASSERT_EQ(platform::RegSetDword(key, name, value), 0);
  }
};

TEST_F(RecoveryTest, AcknowledgedMessageIsDecodedOnce) {
  Acknowledged(7, "seven");
  EXPECT_EQ(m_server->RecoverSpool({}), 1);
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"ENV0.bdy", "ENV0.tmp"}));
  EXPECT_NE(ReadWholeFile(m_out + "ENV0.tmp").find("SUBJECT: seven\r\n"), std::string::npos);
  EXPECT_EQ(ReadWholeFile(m_out + "ENV0.bdy"), "body of seven\r\n");
  // A second start finds nothing more to do.
  EXPECT_EQ(m_server->RecoverSpool({}), 0);
  EXPECT_EQ(OutFiles().size(), 2u);
}

TEST_F(RecoveryTest, AcknowledgedMessagesAreDecodedOldestFirst) {
  Acknowledged(10, "ten");
  Acknowledged(9, "nine");
  EXPECT_EQ(m_server->RecoverSpool({}), 2);
  EXPECT_NE(ReadWholeFile(m_out + "ENV0.tmp").find("SUBJECT: nine"), std::string::npos);
  EXPECT_NE(ReadWholeFile(m_out + "ENV1.tmp").find("SUBJECT: ten"), std::string::npos);
}

TEST_F(RecoveryTest, UnacknowledgedMessageIsRemovedNotDecoded) {
  WriteWholeFile(m_out + "8.cqx", Message("never acknowledged"));
  WriteWholeFile(m_out + "9.rcpt.new", "<12345@fax.example>\n");  // record cut off
  WriteWholeFile(m_out + "11.rcpt", "<12345@fax.example>\n");     // raw file already gone
  EXPECT_EQ(m_server->RecoverSpool({}), 0);
  EXPECT_EQ(OutFiles(), std::vector<std::string>{});
}

// A decode that reached its marker is finished, never repeated, whatever happened after.
struct MarkerCase {
  const char* name;
  bool envelopeUnready;  // "ENV5" still without its ready name
  bool envelopeReady;    // "ENV5.tmp" there
  bool rawLeft;          // "3.cqx" not yet removed
  std::vector<std::string> left;
};

class MarkerRecoveryTest : public RecoveryTest, public ::testing::WithParamInterface<MarkerCase> {};

TEST_P(MarkerRecoveryTest, FinishesTheDecode) {
  const MarkerCase& c = GetParam();
  SetKeyNumber("OUTIndex", 6);
  WriteWholeFile(m_out + "3.ENV5.dcd", "<12345@fax.example>\n");
  if (c.rawLeft) WriteWholeFile(m_out + "3.cqx", Message("three"));
  const std::string envelope = "FROM: <alice@example.org>\r\n\r\nBEGIN BODY\r\n<<ENV5.bdy>>\r\n";
  if (c.envelopeUnready) WriteWholeFile(m_out + "ENV5", envelope);
  if (c.envelopeReady) WriteWholeFile(m_out + "ENV5.tmp", "the fax server's own");
  if (c.envelopeUnready || c.envelopeReady) WriteWholeFile(m_out + "ENV5.bdy", "text\r\n");
  EXPECT_EQ(m_server->RecoverSpool({}), 0);
  EXPECT_EQ(OutFiles(), c.left);
  if (c.envelopeUnready && !c.envelopeReady) {
    EXPECT_EQ(ReadWholeFile(m_out + "ENV5.tmp"), envelope);
  }
}

INSTANTIATE_TEST_SUITE_P(
    States, MarkerRecoveryTest,
    ::testing::Values(MarkerCase{"ReadyNameMissing", true, false, true, {"ENV5.bdy", "ENV5.tmp"}},
                      MarkerCase{"RawAlreadyRemoved", true, false, false, {"ENV5.bdy", "ENV5.tmp"}},
                      MarkerCase{"AlreadyReady", false, true, true, {"ENV5.bdy", "ENV5.tmp"}},
                      MarkerCase{
                          "ReadyNameTaken", true, true, true, {"ENV5", "ENV5.bdy", "ENV5.tmp"}},
                      MarkerCase{"TakenByTheFaxServer", false, false, true, {}}),
    [](const ::testing::TestParamInfo<MarkerCase>& state) {
      return std::string(state.param.name);
    });

TEST_F(RecoveryTest, UnfinishedDecodeIsUndoneAndDoneAgain) {
  // The crash came while ENV3 was being written: its files, the scratch files and the
  // attachments they list go, and the message is decoded afresh.
  Acknowledged(2, "two");
  SetKeyNumber("OUTIndex", 4);
  WriteWholeFile(m_out + "ENV3",
                 "FROM: <alice@example.org>\r\n\r\nBEGIN BODY\r\n<<ENV3.bdy>>\r\nEND BODY\r\n\r\n"
                 "BEGIN ATTACH\r\n<<a.bin:ATT9.bin>>\r\n");
  WriteWholeFile(m_out + "ENV3.bdy", "cut");
  WriteWholeFile(m_out + "ATT9.bin", "half");
  WriteWholeFile(m_out + "Msgcnt.imp", "cut");
  WriteWholeFile(m_out + "~ATTC001.imp", "<<b.txt:ATT10.txt>>\r\n");
  WriteWholeFile(m_out + "ATT10.txt", "half");
  EXPECT_EQ(m_server->RecoverSpool(m_out + "ENV3"), 1);
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"ENV4.bdy", "ENV4.tmp"}));
  EXPECT_NE(ReadWholeFile(m_out + "ENV4.tmp").find("SUBJECT: two"), std::string::npos);
  EXPECT_EQ(IsEnvFileNameInUse(), 0u);
}

// Decodes that had given the envelope name back were still making their files durable: their
// envelopes name their raw files, which are decoded again. An envelope whose ready name could
// not be given (its message was done with) names a raw file that is gone, and stays.
TEST_F(RecoveryTest, EnvelopesOfDecodesCutShortAfterTheLockAreUndone) {
  Acknowledged(2, "two");
  Acknowledged(3, "three");
  SetKeyNumber("OUTIndex", 10);
  for (const auto& [envelope, raw] :
       {std::pair{"ENV6", "2.cqx"}, std::pair{"ENV7", "3.cqx"}, std::pair{"ENV8", "1.cqx"}}) {
    WriteWholeFile(m_out + envelope, std::string("FROM: <a@example.org>\r\n\r\nBEGIN BODY\r\n<<") +
                                         envelope +
                                         ".bdy>>\r\nEND BODY\r\n\r\nBEGIN ATTACH\r\n<<a.bin:ATT" +
                                         envelope[3] + ".bin>>\r\n");
    WriteWholeFile(m_out + envelope + ".bdy", "text");
    WriteWholeFile(m_out + "ATT" + envelope[3] + ".bin", "data");
    const long tagged = platform::SetFileTag(m_out + envelope, "raw", raw);
    if (tagged != 0 && test::UnderWine())
      GTEST_SKIP() << "Wine's files keep no named streams, so no envelope carries its raw name";
    ASSERT_EQ(tagged, 0);
  }
  EXPECT_EQ(m_server->RecoverSpool({}), 2);
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"ATT8.bin", "ENV10.bdy", "ENV10.tmp", "ENV11.bdy",
                                                  "ENV11.tmp", "ENV8", "ENV8.bdy"}));
}

// The ready name is given by a link and an unlink; a crash between the two leaves both names
// of one file, with or without the marker. The plain name goes; a plain envelope that is a
// file of its own beside a ready one (a number used again) stays.
TEST_F(RecoveryTest, ReadyNameCutBetweenLinkAndUnlinkIsFinished) {
  for (const bool withMarker : {true, false}) {
    SCOPED_TRACE(withMarker ? "with its marker" : "marker already gone");
    WriteWholeFile(m_out + "ENV5.tmp", "envelope");
    WriteWholeFile(m_out + "ENV5.bdy", "text");
    std::filesystem::create_hard_link(m_out + "ENV5.tmp", m_out + "ENV5");
    if (withMarker) WriteWholeFile(m_out + "2.ENV5.dcd", "<12345@fax.example>\n");
    WriteWholeFile(m_out + "ENV6.tmp", "ready");
    WriteWholeFile(m_out + "ENV6", "another");
    EXPECT_EQ(m_server->RecoverSpool({}), 0);
    EXPECT_EQ(OutFiles(), (std::vector<std::string>{"ENV5.bdy", "ENV5.tmp", "ENV6", "ENV6.tmp"}));
    EXPECT_EQ(ReadWholeFile(m_out + "ENV5.tmp"), "envelope");
    for (const char* name : {"ENV5.tmp", "ENV5.bdy", "ENV6", "ENV6.tmp"})
      std::remove((m_out + name).c_str());
  }
}

TEST_F(RecoveryTest, FilesOfOthersAreLeftAlone) {
  const std::vector<std::string> others = {
      "12.cqx.orig", "ATT1.bin",   "ENV1.tmp",       "ENV8",       "a.ENV1.dcd",
      "7.ENV..dcd",  "a.ENV1.dcq", "7.ENV..dcq",     "7.ENVx.dcq", "notes.txt",
      "x.cqx",       "7-17.debug", "12345678901.cqx"};
  for (const auto& name : others) WriteWholeFile(m_out + name, "kept");
  // Not the envelope in progress: an envelope the ready name could not be given to stays.
  EXPECT_EQ(m_server->RecoverSpool(m_out + "ENV9"), 0);
  auto expected = others;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(OutFiles(), expected);
}

TEST_F(RecoveryTest, DamagedRecordLeavesTheMessageAlone) {
  WriteWholeFile(m_out + "4.cqx", Message("four"));
  WriteWholeFile(m_out + "4.rcpt", "<12345@fax.example>");  // no line end: not ours whole
  m_server->RecoverSpool({});
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"4.cqx", "4.rcpt"}));
  EXPECT_NE(ReadWholeFile(Root() + "/secondary.log")
                .find("SMTPIn- Error: Commit record unreadable, message left as it is: "),
            std::string::npos);
}

// A raw file committed by its note is acknowledged; one without a note or record never was; one
// whose note cannot be read is left alone, as a damaged record is.
TEST_F(RecoveryTest, TheRawFilesNoteCommitsIt) {
  if (!AcknowledgedByNote(5, "five")) GTEST_SKIP() << "no notes are kept with files here";
  WriteWholeFile(m_out + "6.cqx", Message("six"));
  ASSERT_TRUE(AcknowledgedByNote(7, "seven", "<12345@fax.example>"));  // no line end
  m_server->RecoverSpool({});
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"7.cqx", "ENV0.bdy", "ENV0.tmp"}));
  const std::string envelope = ReadWholeFile(m_out + "ENV0.tmp");
  EXPECT_NE(envelope.find("SUBJECT: five\r\n"), std::string::npos) << envelope;
  EXPECT_NE(envelope.find("TO: \"12345\" <12345@fax.example>\r\n"), std::string::npos) << envelope;
  EXPECT_NE(ReadWholeFile(Root() + "/secondary.log")
                .find("SMTPIn- Error: Commit record unreadable, message left as it is: " + m_out +
                      "7.cqx"),
            std::string::npos);
}

// A sealed note commits its raw file only where the data on disk is what was sealed: a file
// whose data is not (its note and size reached the disk before a crash, its data did not) was
// never acknowledged, and goes with its unfinished envelope; one whose seal matches is decoded,
// as is one with an unsealed note of an earlier version. A note without its seal line is left.
TEST_F(RecoveryTest, ASealedNoteCommitsOnlyTheDataItSealed) {
  const std::string recipients = "TO:<12345@fax.example>\n";
  const std::string whole = Message("four");
  enum class Note { kSealed, kUnsealed, kNoSealLine };
  struct Case {
    const char* what;
    std::string onDisk;  // the seal, where there is one, is of the whole message
    Note note;
    std::vector<std::string> left;
    const char* logged;
  };
  const char* const cut = "SMTPIn- Recovery: message cut by a crash before it was acknowledged: ";
  const std::vector<Case> cases = {
      {"the data sealed", whole, Note::kSealed, {"ENV0.bdy", "ENV0.tmp"}, nullptr},
      {"an unsealed note", whole, Note::kUnsealed, {"ENV0.bdy", "ENV0.tmp"}, nullptr},
      {"zeros where the data should be", std::string(whole.size(), '\0'), Note::kSealed, {}, cut},
      {"the data cut short", whole.substr(0, whole.size() / 2), Note::kSealed, {}, cut},
      {"no seal line",
       whole,
       Note::kNoSealLine,
       {"4.cqx"},
       "SMTPIn- Error: Commit record unreadable, message left as it is: "},
  };
  DataSeal sealOfWhole;
  sealOfWhole.Add(whole);
  const std::optional<std::string> seal = sealOfWhole.Text();
  ASSERT_TRUE(seal.has_value());
  ASSERT_EQ(seal->size(), 2 * kSealBytes);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::string& name : OutFiles()) std::remove((m_out + name).c_str());
    std::remove((Root() + "/secondary.log").c_str());
    SetKeyNumber("OUTIndex", 0);
    const std::string raw = m_out + "4.cqx";
    WriteWholeFile(raw, c.onDisk);
    if (!platform::kFileTagsSyncWithFile ||
        platform::SetFileTag(raw, "probe", "x") != platform::kErrorSuccess)
      GTEST_SKIP() << "no notes are kept with files here";
    // An unfinished envelope of the message, as a crash during its decode leaves it.
    WriteWholeFile(m_out + "ENV7", "FROM: <a@example.org>\r\n");
    ASSERT_EQ(platform::SetFileTag(m_out + "ENV7", kRawFileTag, "4.cqx"), platform::kErrorSuccess);
    const std::string note = c.note == Note::kSealed       ? *seal + "\n" + recipients
                             : c.note == Note::kNoSealLine ? "not a seal\n" + recipients
                                                           : recipients;
    ASSERT_EQ(platform::SetFileTag(
                  raw, c.note == Note::kUnsealed ? kRecipientsTag : kSealedRecipientsTag, note),
              platform::kErrorSuccess);
    EXPECT_EQ(SealOfFile(raw) == seal, c.onDisk == whole);
    m_server->RecoverSpool({});
    EXPECT_EQ(OutFiles(), c.left);
    if (c.logged) {
      EXPECT_NE(ReadWholeFile(Root() + "/secondary.log").find(c.logged), std::string::npos);
    }
    if (c.left.size() == 2) {
      const std::string envelope = ReadWholeFile(m_out + "ENV0.tmp");
      EXPECT_NE(envelope.find("SUBJECT: four\r\n"), std::string::npos) << envelope;
    }
  }
}

// A raw file renamed to its decoded name finished its decode, as a marker tells: the envelope
// gets its ready name unless it has one or the fax server took it, and the raw file goes.
TEST_F(RecoveryTest, ARawFileUnderItsDecodedNameFinishesTheDecode) {
  struct Case {
    const char* what;
    bool envelopeUnready;
    bool envelopeReady;
    std::vector<std::string> left;
  };
  const std::vector<Case> cases = {
      {"ready name missing", true, false, {"ENV5.bdy", "ENV5.tmp"}},
      {"already ready", false, true, {"ENV5.bdy", "ENV5.tmp"}},
      {"ready name taken", true, true, {"ENV5", "ENV5.bdy", "ENV5.tmp"}},
      {"taken by the fax server", false, false, {}},
  };
  const std::string envelope = "FROM: <alice@example.org>\r\n\r\nBEGIN BODY\r\n<<ENV5.bdy>>\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::string& name : OutFiles()) std::remove((m_out + name).c_str());
    SetKeyNumber("OUTIndex", 6);
    if (!AcknowledgedByNote(3, "three", "<12345@fax.example>\n", "3.ENV5.dcq"))
      GTEST_SKIP() << "no notes are kept with files here";
    if (c.envelopeUnready) WriteWholeFile(m_out + "ENV5", envelope);
    if (c.envelopeReady) WriteWholeFile(m_out + "ENV5.tmp", "the fax server's own");
    if (c.envelopeUnready || c.envelopeReady) WriteWholeFile(m_out + "ENV5.bdy", "text\r\n");
    EXPECT_EQ(m_server->RecoverSpool({}), 0);
    EXPECT_EQ(OutFiles(), c.left);
    EXPECT_EQ(ReadWholeFile(m_out + "ENV5.tmp"), c.envelopeReady     ? "the fax server's own"
                                                 : c.envelopeUnready ? envelope
                                                                     : "");
  }
}

// With the main log on, the raw file is kept as a debug copy named after its own name, as one
// committed by a record is, not after its decoded name.
TEST_F(RecoveryTest, ADecodedRawFileKeptForDebuggingHasItsOwnName) {
  SetKeyText("logfile", Root() + "/main.log");
  GetDebugSettings2();
  if (!AcknowledgedByNote(3, "three", "<12345@fax.example>\n", "3.ENV5.dcq"))
    GTEST_SKIP() << "no notes are kept with files here";
  WriteWholeFile(m_out + "ENV5", "FROM: <alice@example.org>\r\n");
  WriteWholeFile(m_out + "ENV5.bdy", "text\r\n");
  EXPECT_EQ(m_server->RecoverSpool({}), 0);
  const std::vector<std::string> left = OutFiles();
  ASSERT_EQ(left.size(), 3u);
  EXPECT_TRUE(left[0].starts_with("3-") && left[0].ends_with(".debug")) << left[0];
  EXPECT_EQ(ReadWholeFile(m_out + left[0]), Message("three"));
  EXPECT_EQ(std::vector<std::string>(left.begin() + 1, left.end()),
            (std::vector<std::string>{"ENV5.bdy", "ENV5.tmp"}));
}

// An envelope cut short whose raw file is committed by its note is undone, and the message
// decoded again, once.
TEST_F(RecoveryTest, UnfinishedDecodeOfANotedMessageIsDoneAgain) {
  if (!AcknowledgedByNote(2, "two")) GTEST_SKIP() << "no notes are kept with files here";
  SetKeyNumber("OUTIndex", 10);
  WriteWholeFile(m_out + "ENV6", "FROM: <a@example.org>\r\n\r\nBEGIN BODY\r\n<<ENV6.bdy>>\r\n");
  WriteWholeFile(m_out + "ENV6.bdy", "cut");
  ASSERT_EQ(platform::SetFileTag(m_out + "ENV6", kRawFileTag, "2.cqx"), 0);
  EXPECT_EQ(m_server->RecoverSpool({}), 1);
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"ENV10.bdy", "ENV10.tmp"}));
  EXPECT_NE(ReadWholeFile(m_out + "ENV10.tmp").find("SUBJECT: two"), std::string::npos);
  EXPECT_EQ(ReadWholeFile(m_out + "ENV10.bdy"), "body of two\r\n");
}

TEST_F(RecoveryTest, ReceivedMessageLeavesNoRecordBehind) {
  test::ScriptedClient client;
  ASSERT_TRUE(client.Connect(m_port));
  ASSERT_TRUE(
      client.Send("HELO r\r\nMAIL FROM:<a@b>\r\nRCPT TO:<12345@fax.example>\r\nDATA\r\n"
                  "Subject: s\r\n\r\nx\r\n.\r\nQUIT\r\n"));
  const std::string replies = client.ReadUntilClosed(10000);
  EXPECT_NE(replies.find("250 Mail Received OK\r\n"), std::string::npos);
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"ENV0.bdy", "ENV0.tmp"}));
}

// A note holds a few recipients: mail to more is committed by a record, which the decode then
// makes its marker and gives up as a spare with the recipients still in it; mail to one leaves
// no such file where notes are kept. Both become ready envelopes.
TEST_F(RecoveryTest, MailToMoreRecipientsThanANoteHoldsIsCommittedByARecord) {
  const auto send = [&](int recipients) {
    std::string script = "HELO r\r\nMAIL FROM:<a@b>\r\n";
    for (int i = 0; i < recipients; ++i)
      script += "RCPT TO:<" + std::to_string(10000 + i) + "@fax.example>\r\n";
    script += "DATA\r\nSubject: s\r\n\r\nto " + std::to_string(recipients) + "\r\n.\r\nQUIT\r\n";
    test::ScriptedClient client;
    ASSERT_TRUE(client.Connect(m_port));
    ASSERT_TRUE(client.Send(script));
    EXPECT_NE(client.ReadUntilClosed(10000).find("250 Mail Received OK\r\n"), std::string::npos);
  };
  // Spares that hold exactly this text: a record's worth kept for the next record.
  const auto sparesHolding = [&](const std::string& text) {
    std::vector<platform::DirEntry> kept;
    platform::FindFiles(m_data + ".spare/", "*", kept);
    return std::count_if(kept.begin(), kept.end(), [&](const platform::DirEntry& entry) {
      return ReadWholeFile(m_data + ".spare/" + entry.name) == text;
    });
  };
  std::string twenty;
  for (int i = 0; i < 20; ++i) twenty += "TO:<" + std::to_string(10000 + i) + "@fax.example>\n";
  WriteWholeFile(m_data + "probe", "");
  const bool notes = platform::kFileTagsSyncWithFile &&
                     platform::SetFileTag(m_data + "probe", "p", "x") == platform::kErrorSuccess;
  send(1);
  EXPECT_EQ(sparesHolding("TO:<10000@fax.example>\n"), notes ? 0 : 1);
  send(20);
  EXPECT_EQ(sparesHolding(twenty), 1);
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"ENV0.bdy", "ENV0.tmp", "ENV1.bdy", "ENV1.tmp"}));
  EXPECT_EQ(ReadWholeFile(m_out + "ENV0.bdy"), "to 1\r\n");
  EXPECT_EQ(ReadWholeFile(m_out + "ENV1.bdy"), "to 20\r\n");
}

// Mail after mail, the files given up come back as the next ones: the spare folder holds a
// handful of files (empty, or a record's worth for the next record to be written over), OUT
// nothing but the envelopes, and a start clears what a run left.
TEST_F(RecoveryTest, FilesGivenUpAreReusedAndAStartClearsWhatARunLeft) {
  constexpr int kMails = 12;
  for (int i = 0; i < kMails; ++i) {
    test::ScriptedClient client;
    ASSERT_TRUE(client.Connect(m_port));
    ASSERT_TRUE(
        client.Send("HELO r\r\nMAIL FROM:<a@b>\r\nRCPT TO:<12345@fax.example>\r\nDATA\r\n"
                    "Subject: s" +
                    std::to_string(i) + "\r\n\r\nbody " + std::to_string(i) + "\r\n.\r\nQUIT\r\n"));
    EXPECT_NE(client.ReadUntilClosed(10000).find("250 Mail Received OK\r\n"), std::string::npos);
  }
  std::vector<std::string> expected;
  for (int i = 0; i < kMails; ++i) {
    expected.push_back("ENV" + std::to_string(i) + ".bdy");
    expected.push_back("ENV" + std::to_string(i) + ".tmp");
    EXPECT_EQ(ReadWholeFile(m_out + "ENV" + std::to_string(i) + ".bdy"),
              "body " + std::to_string(i) + "\r\n");
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(OutFiles(), expected);
  // One spare a mail would mean nothing was reused; each kept one is empty or small.
  const std::string spares = m_data + ".spare/";
  std::vector<platform::DirEntry> kept;
  ASSERT_EQ(platform::FindFiles(spares, "*", kept), 0);
  EXPECT_GE(kept.size(), 1u);
  EXPECT_LE(kept.size(), 4u);
  for (const auto& entry : kept) EXPECT_LE(entry.size, kKeptSpareData) << entry.name;

  // What a run cut off left there (a spare still holding its old text) goes at the next start;
  // the spares this run keeps stay.
  const std::size_t ours = kept.size();
  WriteWholeFile(spares + "99", "TO:<old@record>\n");
  EXPECT_EQ(m_server->RecoverSpool({}), 0);
  ASSERT_EQ(platform::FindFiles(spares, "*", kept), 0);
  EXPECT_EQ(kept.size(), ours);
  EXPECT_FALSE(platform::FileExists(spares + "99"));
  EXPECT_EQ(OutFiles(), expected);
}

// The note holds the recipients as given, and only once the data is synced; recipients too
// long for a note leave the file without one, for a record to commit it.
TEST(CommitNoteTest, RecipientsComeBackAsWrittenOrGetARecord) {
  test::TempDir dir;
  WriteWholeFile(dir / "probe", "");
  if (!platform::kFileTagsSyncWithFile || platform::SetFileTag(dir / "probe", "p", "x") != 0)
    GTEST_SKIP() << "no notes are kept with files here";
  std::vector<std::string> many;
  for (int i = 0; i < 20; ++i) many.push_back("TO:<" + std::to_string(10000 + i) + "@fax.example>");
  struct Case {
    const char* what;
    std::vector<std::string> recipients;
    NoteCommit expected;
  };
  const std::vector<Case> cases = {
      {"one", {"TO:<1@fax.example>"}, NoteCommit::kCommitted},
      {"a few, one empty", {"<1@fax.example>", "2@fax.example", ""}, NoteCommit::kCommitted},
      {"too many for a note", many, NoteCommit::kNotKept},
  };
  int n = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir / (std::to_string(n++) + ".cqx");
    platform::File raw;
    ASSERT_EQ(platform::File::Open(path, platform::Access::ReadWrite, platform::Share::None,
                                   platform::Disposition::CreateAlways, raw),
              0);
    ASSERT_EQ(raw.Write("Received: x\r\n\r\nbody\r\n"), 0);
    int flushes = 0;
    const NoteCommit result =
        CommitByNote(path, c.recipients, raw, nullptr, [&] { return ++flushes > 0; });
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(flushes, c.expected == NoteCommit::kCommitted ? 1 : 0);
    if (c.expected == NoteCommit::kCommitted) {
      EXPECT_EQ(ReadCommitNote(path), c.recipients);
    } else {
      EXPECT_FALSE(platform::GetFileTag(path, kRecipientsTag).has_value());
    }
    ASSERT_EQ(raw.Close(), 0);
    EXPECT_EQ(test::ReadWholeFile(path), "Received: x\r\n\r\nbody\r\n");
  }

  // A raw file that cannot be synced gets no note: nothing is acknowledged.
  platform::File closed;
  WriteWholeFile(dir / "9.cqx", "x");
  EXPECT_EQ(CommitByNote(dir / "9.cqx", {"<9@fax.example>"}, closed, nullptr, {}),
            NoteCommit::kFailed);
  EXPECT_FALSE(platform::GetFileTag(dir / "9.cqx", kRecipientsTag).has_value());
}

// A sealed note is put on with the seal of what was written, and the file synced once: the
// note reads back, commits the file while the data matches, and not once the data differs.
TEST(CommitNoteTest, ASealedNoteReadsBackAndMatchesOnlyItsData) {
  test::TempDir dir;
  WriteWholeFile(dir / "probe", "");
  if (!platform::kFileTagsSyncWithFile || platform::SetFileTag(dir / "probe", "p", "x") != 0)
    GTEST_SKIP() << "no notes are kept with files here";
  const std::string data = "Received: x\r\n\r\nbody\r\n";
  const std::vector<std::string> recipients = {"TO:<1@fax.example>", "TO:<2@fax.example>"};
  const std::string path = dir / "3.cqx";
  platform::File raw;
  ASSERT_EQ(platform::File::Open(path, platform::Access::ReadWrite, platform::Share::None,
                                 platform::Disposition::CreateAlways, raw),
            0);
  DataSeal seal;
  // Fed in pieces, as the receiver writes them.
  for (const std::string_view piece :
       {std::string_view(data).substr(0, 5), std::string_view(data).substr(5)}) {
    ASSERT_EQ(raw.Write(piece.data(), piece.size()), 0);
    seal.Add(piece);
  }
  int flushes = 0;
  EXPECT_EQ(CommitByNote(
                path, recipients, raw, nullptr, [&] { return ++flushes > 0; }, seal.Text()),
            NoteCommit::kCommitted);
  EXPECT_EQ(flushes, 1);
  ASSERT_EQ(raw.Close(), 0);
  EXPECT_FALSE(platform::GetFileTag(path, kRecipientsTag).has_value());
  const std::optional<std::string> note = platform::GetFileTag(path, kSealedRecipientsTag);
  ASSERT_TRUE(note.has_value());
  EXPECT_EQ(note->substr(0, 2 * kSealBytes + 1), *SealOfFile(path) + "\n");
  EXPECT_EQ(ReadCommitNote(path), recipients);
  EXPECT_EQ(CommitNoteState(path), NoteState::kCommits);
  // One byte changed where the note vouches for it: the data is not what was acknowledged.
  WriteWholeFile(path, "Received: y\r\n\r\nbody\r\n");
  EXPECT_EQ(CommitNoteState(path), NoteState::kNotWhole);
  EXPECT_EQ(ReadCommitNote(path), recipients);  // read, not judged: that is the state's part
  WriteWholeFile(dir / "4.cqx", data);
  EXPECT_EQ(CommitNoteState(dir / "4.cqx"), NoteState::kNone);
}

TEST(CommitRecordTest, RecipientsComeBackAsWritten) {
  test::TempDir dir;
  const std::vector<std::string> recipients = {"<1@fax.example>", "2@fax.example", "a\rb", ""};
  ASSERT_TRUE(WriteCommitRecord(dir / "5.cqx", recipients));
  EXPECT_FALSE(platform::FileExists(dir / "5.rcpt.new"));
  EXPECT_EQ(ReadCommitRecord(dir / "5.rcpt"), recipients);
}

// The raw file still open, its write-back started: it is synced with the record and stays
// open and whole; a raw file that cannot be synced leaves no record, so nothing is acknowledged.
TEST(CommitRecordTest, RawFileStillOpenIsSyncedWithTheRecord) {
  test::TempDir dir;
  platform::File raw;
  ASSERT_EQ(platform::File::Open(dir / "6.cqx", platform::Access::ReadWrite, platform::Share::None,
                                 platform::Disposition::CreateAlways, raw),
            0);
  ASSERT_EQ(raw.Write("Received: x\r\n\r\nbody\r\n"), 0);
  raw.StartWriteBack();
  ASSERT_TRUE(WriteCommitRecord(dir / "6.cqx", {"<6@fax.example>"}, nullptr, nullptr, &raw));
  EXPECT_TRUE(raw.IsOpen());
  EXPECT_EQ(ReadCommitRecord(dir / "6.rcpt"), std::vector<std::string>{"<6@fax.example>"});
  ASSERT_EQ(raw.Close(), 0);
  EXPECT_EQ(test::ReadWholeFile(dir / "6.cqx"), "Received: x\r\n\r\nbody\r\n");

  platform::File closed;  // a sync of it fails
  EXPECT_FALSE(WriteCommitRecord(dir / "7.cqx", {"<7@fax.example>"}, nullptr, nullptr, &closed));
  EXPECT_FALSE(platform::FileExists(dir / "7.rcpt"));
  EXPECT_FALSE(platform::FileExists(dir / "7.rcpt.new"));
}

// With spares kept, the record is written in a spare where it lies and gets its name in OUT by
// one rename. A spare that cannot serve (gone, not a plain file any more, or on another file
// system than OUT) costs nothing but the try: the record is written under its scratch name in
// OUT instead, and the bad spare is not kept.
TEST(CommitRecordTest, ASpareBecomesTheRecordInOneRenameOrIsPassedOver) {
  const std::vector<std::string> recipients = {"<1@fax.example>", "<2@fax.example>"};
  struct Case {
    const char* what;
    bool otherFileSystem;  // the spare folder on tmpfs, OUT not
    std::function<void(const std::string&)> spoil;
    bool spareBecomesRecord;
  };
  const Case cases[] = {
      {"a good spare", false, [](const std::string&) {}, true},
      {"the spare removed", false, [](const std::string& spare) { std::remove(spare.c_str()); },
       false},
#ifndef _WIN32
      {"the spare now a symbolic link", false,
       [](const std::string& spare) {
         std::remove(spare.c_str());
         std::filesystem::create_symlink("/dev/null", spare);
       },
       false},
      {"the spare folder on another file system", true, [](const std::string&) {}, false},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    std::string folder = dir / "spare";
    if (c.otherFileSystem) {
      if (!std::filesystem::is_directory("/dev/shm")) continue;
      folder = "/dev/shm/faxmail-spare-test-" + std::to_string(platform::ProcessId());
      std::filesystem::remove_all(folder);
#ifndef _WIN32
      struct stat tmpfs {};
      struct stat out {};
      if (::stat("/dev/shm", &tmpfs) != 0 || ::stat(dir.Path().c_str(), &out) != 0 ||
          tmpfs.st_dev == out.st_dev)
        continue;  // the test's folder is on tmpfs itself
#endif
    }
    SpareFiles spares(folder + "/");
    // A spare comes from a file given up on the spare folder's own file system.
    const std::string given = c.otherFileSystem ? folder + ".given" : dir / "given";
    WriteWholeFile(given, "old text of another file");
    ASSERT_EQ(spares.Give(given), 0);
    std::vector<platform::DirEntry> kept;
    ASSERT_EQ(platform::FindFiles(folder + "/", "*", kept), 0);
    ASSERT_EQ(kept.size(), 1u);
    const std::string spare = folder + "/" + kept[0].name;
#ifndef _WIN32
    // A second name of the spare tells afterwards which file became the record.
    const std::string witness = folder + ".witness";
    std::filesystem::create_hard_link(spare, witness);
#endif
    c.spoil(spare);

    ASSERT_TRUE(WriteCommitRecord(dir / "5.cqx", recipients, nullptr, &spares));
    EXPECT_EQ(ReadCommitRecord(dir / "5.rcpt"), recipients);
    EXPECT_FALSE(platform::FileExists(dir / "5.rcpt.new"));
    EXPECT_EQ(spares.Count(), 0u);
    // Taken or thrown away, nothing is left under the spare's name.
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(spare)));
#ifndef _WIN32
    EXPECT_EQ(platform::SameFile(dir / "5.rcpt", witness), c.spareBecomesRecord);
    std::filesystem::remove(witness);
#endif
    if (c.otherFileSystem) std::filesystem::remove_all(folder);
  }
}

// A spare that kept the data of a file given up is written over where it lies: the record
// holds its recipients and nothing of what the spare held before, whether that was more, as
// much or less.
TEST(CommitRecordTest, ARecordWrittenOverASpareHoldsNothingOfItsOldData) {
  const std::vector<std::string> recipients = {"<1@fax.example>", "<2@fax.example>"};
  const std::size_t recordSize = 32;  // both lines with their LF
  const std::size_t olds[] = {1, recordSize - 1, recordSize, recordSize + 1, kKeptSpareData};
  for (const std::size_t old : olds) {
    SCOPED_TRACE(old);
    test::TempDir dir;
    SpareFiles spares(dir / "spare/");
    WriteWholeFile(dir / "given", std::string(old, '\n'));
    ASSERT_EQ(spares.Give(dir / "given", SpareData::kKept), 0);
    ASSERT_TRUE(WriteCommitRecord(dir / "5.cqx", recipients, nullptr, &spares));
    EXPECT_EQ(ReadCommitRecord(dir / "5.rcpt"), recipients);
    EXPECT_EQ(ReadWholeFile(dir / "5.rcpt").size(), recordSize);
    EXPECT_EQ(spares.Count(), 0u);
  }
}

TEST(CommitRecordTest, RecordsOutsideTheBoundsAreRefused) {
  test::TempDir dir;
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"no line end", "<1@fax.example>"},
      {"line too long", std::string(kMaxRecordLine + 1, 'a') + "\n"},
      {"too many lines",
       [] {
         std::string text;
         for (std::size_t i = 0; i <= kMaxRecordLines; ++i) text += "a\n";
         return text;
       }()},
  };
  for (const auto& c : cases) {
    WriteWholeFile(dir / "r.rcpt", c.text);
    EXPECT_EQ(ReadCommitRecord(dir / "r.rcpt"), std::nullopt) << c.name;
  }
  EXPECT_EQ(ReadCommitRecord(dir / "missing.rcpt"), std::nullopt);
}

TEST(CommitRecordTest, RecordInAMissingFolderIsNotWritten) {
  test::TempDir dir;
  EXPECT_FALSE(WriteCommitRecord(dir / "gone/5.cqx", {"<1@fax.example>"}));
}

TEST(CommitRecordTest, MarkerNamesAreOnlyTheGatewaysOwn) {
  const struct {
    std::string name;
    std::optional<std::pair<std::string, std::string>> parts;
  } cases[] = {
      {"3.ENV5.dcd", std::pair<std::string, std::string>{"3.cqx", "ENV5"}},
      {"65534.ENV0.dcd", std::pair<std::string, std::string>{"65534.cqx", "ENV0"}},
      {"3.ENV5.tmp", std::nullopt},
      {"x.ENV5.dcd", std::nullopt},
      {"3.ENV.dcd", std::nullopt},
      {"3.ENV5x.dcd", std::nullopt},
      {"3.ATT5.dcd", std::nullopt},
      {"3.ENV5/../x.dcd", std::nullopt},
      {".dcd", std::nullopt},
      {"3.dcd", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto parsed = ParseDecodedMarker(c.name);
    ASSERT_EQ(parsed.has_value(), c.parts.has_value()) << c.name;
    if (parsed) {
      EXPECT_EQ(parsed->rawName, c.parts->first) << c.name;
      EXPECT_EQ(parsed->envelopeName, c.parts->second) << c.name;
    }
  }
  EXPECT_EQ(DecodedMarkerPath("/d/OUT/12.cqx", "ENV7"), "/d/OUT/12.ENV7.dcd");
  EXPECT_EQ(CommitRecordPath("/d/OUT/12.cqx"), "/d/OUT/12.rcpt");
}

}  // namespace
}  // namespace faxmail
