// Every part the gateway decodes from a message is byte for byte what Python's email package
// decodes from it, except where the gateway's files differ on purpose: a part written in text
// mode has CR LF line ends, and the CRs that quoted-printable escapes or base64 text decode to
// never reach a text file.
//
// make_messages.py (run with Debian's /usr/bin/python3) writes a corpus of messages composed
// with the email package and written by hand in the shapes of common mailers, and beside each
// one Python's decoding of every part the decoder keeps. Each message is decoded here by the
// gateway's own sink (SpoolSink) from a spooled file, into a data folder of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gateway/decode/decode_message.h"
#include "gateway/decode/mime_headers.h"
#include "gateway/decode/part_reader.h"
#include "gateway/decode/sent_names.h"
#include "gateway/queue/counters.h"
#include "gateway/service/settings.h"
#include "gateway/smtp_in/spool_sink.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "tests/support/python_parts.h"
#include "tests/support/test_support.h"
#include "tests/unit/decode/decode_test_support.h"

namespace faxmail::decode {
namespace {

namespace fs = std::filesystem;
using faxmail::test::Difference;
using faxmail::test::GatewayBytes;
using faxmail::test::PythonPart;
using faxmail::test::ReadWholeFile;

constexpr char kPython[] = "/usr/bin/python3";

class PythonDecodeTest : public faxmail::test::RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    if (!fs::exists(kPython)) GTEST_SKIP() << kPython << " is not installed";
    m_data = Root() + "/data/";
    ASSERT_TRUE(fs::create_directories(m_data + "OUT"));
    platform::RegKey key;
    ASSERT_EQ(platform::RegCreateKey(platform::Hive::LocalMachine, kGatewayKey, key), 0);
    ASSERT_EQ(platform::RegSetString(key, "ProgramPath", m_data), 0);
    ResetFileNameFlags();
  }

  // Decodes one spooled message with the gateway's sink; returns the attachment list lines as
  // (sent name, stored name) and the message text.
  void Decode(const std::string& eml, std::vector<std::pair<std::string, std::string>>& listed,
              std::string& text, std::string& warnings) {
    const std::string list = m_data + "OUT/att.lst";
    const std::string body = m_data + "OUT/Msgcnt.imp";
    fs::remove(list);
    fs::remove(body);
    test::ConsoleCapture console;
    std::unique_ptr<PartReader> reader;
    ASSERT_TRUE(PartReader::Open(eml, platform::Share::Read, reader));
    const EnvelopeList envelope;
    SpoolSink sink({m_data + "OUT/envelope", body, list, m_data}, envelope);
    EXPECT_EQ(DecodeMessage(*reader, "text/plain", false, sink), 0);
    warnings = console.err;
    listed.clear();
    std::istringstream lines(fs::exists(list) ? ReadWholeFile(list) : std::string());
    for (std::string line; std::getline(lines, line);) {
      ASSERT_TRUE(line.size() > 6 && line.compare(0, 2, "<<") == 0 &&
                  line.compare(line.size() - 3, 3, ">>\r") == 0)
          << line;
      const std::string entry = line.substr(2, line.size() - 5);
      const std::size_t colon = entry.find(':');
      listed.emplace_back(entry.substr(0, colon), entry.substr(colon + 1));
    }
    text = fs::exists(body) ? ReadWholeFile(body) : std::string();
  }

  std::string m_data;
};

TEST_F(PythonDecodeTest, EveryPartIsWhatPythonDecodes) {
  faxmail::test::TempDir corpus;
  const std::string script = faxmail::test::SourceDir() + "/tests/interop/decode/make_messages.py";
  std::string output;
  ASSERT_EQ(faxmail::test::RunProgram({kPython, script, corpus.Path()}, &output), 0) << output;

  std::vector<std::string> stems;
  for (const auto& entry : fs::directory_iterator(corpus.Path()))
    if (entry.path().extension() == ".eml") stems.push_back(entry.path().stem().string());
  std::sort(stems.begin(), stems.end());
  ASSERT_GE(stems.size(), 30u);

  std::size_t attachments = 0;
  std::size_t named = 0;
  for (const std::string& stem : stems) {
    SCOPED_TRACE(stem + ".eml");
    const std::vector<PythonPart> parts = faxmail::test::ReadPythonParts(corpus.Path(), stem);
    std::vector<std::pair<std::string, std::string>> listed;
    std::string text;
    std::string warnings;
    Decode(corpus.Path() + "/" + stem + ".eml", listed, text, warnings);
    const std::string warningsFile = corpus.Path() + "/" + stem + ".warnings";
    EXPECT_EQ(warnings, fs::exists(warningsFile) ? ReadWholeFile(warningsFile) : "");

    std::string expectedText;
    std::size_t next = 0;
    for (const PythonPart& part : parts) {
      if (part.text) {
        expectedText += GatewayBytes(part);
        continue;
      }
      const std::size_t index = next++;
      if (index >= listed.size()) continue;
      const auto& [sent, stored] = listed[index];
      SCOPED_TRACE("attachment " + std::to_string(index + 1) + " (" + part.mediaType + ", " +
                   stored + ")");
      const std::string saved = ReadWholeFile(m_data + "OUT/" + stored);
      EXPECT_EQ(Difference(saved, GatewayBytes(part)), "");
      EXPECT_FALSE(sent.empty());
      if (part.name) {
        EXPECT_EQ(sent, SafeSentName(*part.name));
        ++named;
      }
      ++attachments;
    }
    EXPECT_EQ(listed.size(), next) << "attachments listed by the gateway and kept by Python";
    EXPECT_EQ(Difference(text, expectedText), "") << "message text";
  }
  // The corpus exercises what it is meant to.
  EXPECT_GE(attachments, 50u);
  EXPECT_GE(named, 40u);
}

}  // namespace
}  // namespace faxmail::decode
