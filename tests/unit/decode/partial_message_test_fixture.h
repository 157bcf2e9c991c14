// The fixture of the partial message cases: a store of parts under a TMP of its own, one
// mail decoded at a time into a shared sink, and the split message they deliver.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "gateway/decode/partial_message.h"
#include "tests/support/test_support.h"
#include "tests/unit/decode/decode_test_support.h"

namespace faxmail::decode::test::partial_test {

namespace fs = std::filesystem;

inline constexpr char kId[] = "split-1@example.com";

// The body of the split message: its own header lines, then a text part and an attachment.
inline const std::string kInner =
    "Message-ID: <inner@example.com>\n"
    "Subject: Inner subject\n"
    "Content-Type: multipart/mixed;\n"
    " boundary=zz\n"
    "MIME-Version: 1.0\n"
    "\n"
    "--zz\n"
    "Content-Type: text/plain\n"
    "\n"
    "Hello from a\n"
    "split message.\n"
    "--zz\n"
    "Content-Type: application/octet-stream; name=x.bin\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "QUJD\n"
    "--zz--\n";

// kInner cut into n pieces at line ends.
inline std::vector<std::string> Pieces(int n) {
  std::vector<std::string> lines;
  for (std::size_t pos = 0; pos < kInner.size();) {
    const std::size_t end = kInner.find('\n', pos) + 1;
    lines.push_back(kInner.substr(pos, end - pos));
    pos = end;
  }
  std::vector<std::string> pieces(static_cast<std::size_t>(n));
  const std::size_t per = (lines.size() + n - 1) / n;
  for (std::size_t i = 0; i < lines.size(); ++i)
    pieces[std::min(i / per, pieces.size() - 1)] += lines[i];
  return pieces;
}

inline std::string PartialMessage(const std::string& params, const std::string& body) {
  return "From: a@example.com\n"
         "To: 555@fax.example\n"
         "Subject: Split\n"
         "Message-ID: <outer@example.com>\n"
         "Content-Type: message/partial; " +
         params +
         "\n"
         "Content-Description: one piece\n"
         "\n" +
         body;
}

class PartialMessageTest : public faxmail::test::RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    faxmail::test::SetEnv("TMP", m_tmp.Path());
  }
  void TearDown() override {
    faxmail::test::SetEnv("TMP", std::nullopt);
    RootTest::TearDown();
  }

  // Decodes one mail; its transcript goes to the shared sink.
  int Deliver(const std::string& message) {
    ConsoleCapture console;
    auto reader = MemoryReader(message);
    reader->SetAttachmentListPath("/spool/OUT/att.lst");
    const int result = DecodeMessage(*reader, "text/plain", false, sink);
    out += console.out;
    err += console.err;
    return result;
  }

  std::string SetDir() const {
    return faxmail::test::NativePath(m_tmp.Path() + "/parts/split-1@.exa/");
  }
  std::vector<std::string> StoreEntries() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(m_tmp.Path() + "/parts", ec))
      names.push_back(fs::relative(e.path(), m_tmp.Path() + "/parts").generic_string());
    std::sort(names.begin(), names.end());
    return names;
  }

  faxmail::test::TempDir m_tmp;
  RecordingSink sink;
  std::string out;
  std::string err;
};

}  // namespace faxmail::decode::test::partial_test
