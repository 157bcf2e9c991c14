// Every part the gateway decodes from a message is byte for byte what Python's email package
// decodes from it, except where the gateway's files differ on purpose: a part written in text
// mode has CR LF line ends, and the CRs that quoted-printable escapes or base64 text decode to
// never reach a text file.
//
// make_messages.py (run with Debian's /usr/bin/python3) writes a corpus of messages composed
// with the email package and written by hand in the shapes of common mailers, and beside each
// one Python's decoding of every part the decoder keeps. Each message is decoded here by the
// gateway's own sink (GatewaySink) from a spooled file, into a data folder of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gateway/decode/decode_message.h"
#include "gateway/decode/gateway_sink.h"
#include "gateway/decode/mime_headers.h"
#include "gateway/decode/part_reader.h"
#include "gateway/queue/counters.h"
#include "gateway/service/settings.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "tests/support/test_support.h"
#include "tests/unit/decode/decode_test_support.h"

namespace faxmail::decode {
namespace {

namespace fs = std::filesystem;
using faxmail::test::ReadWholeFile;

constexpr char kPython[] = "/usr/bin/python3";

// One line of N.parts.
struct PythonPart {
  bool text = false;  // message text rather than an attachment
  std::string payload;
  std::string mediaType;
  TransferEncoding encoding = TransferEncoding::None;
  std::optional<std::string> name;
};

std::string FromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<PythonPart> ReadParts(const std::string& folder, const std::string& stem) {
  std::vector<PythonPart> parts;
  std::istringstream lines(ReadWholeFile(folder + "/" + stem + ".parts"));
  std::string kind, payload, type, encoding, name;
  while (lines >> kind >> payload >> type >> encoding >> name) {
    PythonPart part;
    part.text = kind == "text";
    part.payload = ReadWholeFile(folder + "/" + payload);
    part.mediaType = type;
    part.encoding = encoding == "base64"             ? TransferEncoding::Base64
                    : encoding == "quoted-printable" ? TransferEncoding::QuotedPrintable
                                                     : TransferEncoding::None;
    if (name != "-") part.name = FromHex(name);
    parts.push_back(std::move(part));
  }
  return parts;
}

std::string Replace(std::string text, std::string_view from, std::string_view to) {
  std::string out;
  for (std::size_t pos = 0;;) {
    const std::size_t at = text.find(from, pos);
    out.append(text, pos, at == std::string::npos ? std::string::npos : at - pos);
    if (at == std::string::npos) return out;
    out.append(to);
    pos = at + from.size();
  }
}

// What the gateway writes for Python's decoding of a part, by the file rules alone.
std::string GatewayBytes(const PythonPart& part) {
  const bool textType = StartsWithNoCase(part.mediaType, "text/") || part.text;
  if (!textType && part.encoding == TransferEncoding::Base64) return part.payload;  // binary
  std::string text = part.payload;
  if (part.encoding == TransferEncoding::QuotedPrintable ||
      part.encoding == TransferEncoding::Base64) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());  // decoded CRs
  } else {
    text = Replace(text, "\r\n", "\n");  // the spooled message is read in text mode
  }
  return Replace(text, "\n", "\r\n");  // and the file is written in text mode
}

// Empty when equal, else where and how they first differ.
std::string Difference(const std::string& actual, const std::string& expected) {
  if (actual == expected) return {};
  const auto at = static_cast<std::size_t>(
      std::mismatch(actual.begin(), actual.begin() + static_cast<std::ptrdiff_t>(
                                                         std::min(actual.size(), expected.size())),
                    expected.begin())
          .first -
      actual.begin());
  return "sizes " + std::to_string(actual.size()) + " and " + std::to_string(expected.size()) +
         ", first difference at " + std::to_string(at) + ": gateway \"" +
         test::Escape(actual.substr(at, 40)) + "\", Python \"" +
         test::Escape(expected.substr(at, 40)) + "\"";
}

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
    reader->SetAttachmentListPath(list);
    const EnvelopeList envelope;
    GatewaySink sink(m_data + "OUT/envelope", envelope, body, m_data);
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
  const std::string script =
      std::string(FAXMAIL_SOURCE_DIR) + "/tests/interop/decode/make_messages.py";
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
    const std::vector<PythonPart> parts = ReadParts(corpus.Path(), stem);
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
