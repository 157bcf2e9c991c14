// decode_bench's corpus mode and bench/email_decode.py, run as bench/run-all runs them: each
// reports "corpus files=N bytes=B seconds=S" over the files it was given, both the same N and
// B for the same files, and a file that cannot be read makes either fail instead of timing less
// work than it claims.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/peers.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::RunProgram;
using test::TempDir;
using test::WriteWholeFile;

struct Figures {
  int status = -1;
  std::string output;
  long files = -1;
  long bytes = -1;
};

Figures Parse(int status, const std::string& output) {
  Figures figures{status, output};
  std::smatch match;
  if (std::regex_search(output, match, std::regex(R"(corpus files=(\d+) bytes=(\d+) seconds=)"))) {
    figures.files = std::stol(match[1]);
    figures.bytes = std::stol(match[2]);
  }
  return figures;
}

Figures Ours(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {test::BuiltProgram("bench/decode_bench")};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string output;
  const int status = RunProgram(argv, &output);
  return Parse(status, output);
}

Figures Python(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {test::kSystemPython,
                                   faxmail::test::SourceDir() + "/bench/email_decode.py"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string output;
  const int status = RunProgram(argv, &output);
  return Parse(status, output);
}

class DecodeCorpus : public test::RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    FAXMAIL_REQUIRE_PEER(test::kSystemPython);
    WriteWholeFile(m_dir / "text.eml",
                   "From: a@example.org\r\nSubject: text\r\n\r\nA line.\r\n.. dot\r\n");
    WriteWholeFile(m_dir / "attached.eml",
                   "From: a@example.org\r\nMIME-Version: 1.0\r\n"
                   "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
                   "--b\r\nContent-Type: text/plain\r\n\r\nbody\r\n"
                   "--b\r\nContent-Type: application/octet-stream; name=f.bin\r\n"
                   "Content-Transfer-Encoding: base64\r\n\r\nAAECAwQFBgcICQ==\r\n--b--\r\n");
    // An enclosed message that is cut off, and a part that claims base64 but is not.
    WriteWholeFile(m_dir / "broken.eml",
                   "Content-Type: multipart/mixed; boundary=x\r\n\r\n--x\r\n"
                   "Content-Type: message/rfc822\r\n\r\nSubject: inner\r\n"
                   "Content-Type: image/tiff\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                   "%%%not base64%%%\r\n");
    m_files = {m_dir / "text.eml", m_dir / "attached.eml", m_dir / "broken.eml"};
    for (const auto& file : m_files) m_bytes += static_cast<long>(std::filesystem::file_size(file));
  }
  std::vector<std::string> Corpus(const std::string& runs) const {
    std::vector<std::string> args = {"corpus", runs};
    args.insert(args.end(), m_files.begin(), m_files.end());
    return args;
  }

  TempDir m_dir;
  std::vector<std::string> m_files;
  long m_bytes = 0;
};

TEST_F(DecodeCorpus, BothReportTheSameFilesAndBytes) {
  const Figures ours = Ours(Corpus("2"));
  const Figures python = Python(Corpus("2"));
  ASSERT_EQ(ours.status, 0) << ours.output;
  ASSERT_EQ(python.status, 0) << python.output;
  EXPECT_EQ(ours.files, 3);
  EXPECT_EQ(ours.bytes, m_bytes);
  EXPECT_EQ(python.files, ours.files);
  EXPECT_EQ(python.bytes, ours.bytes);
}

TEST_F(DecodeCorpus, AMissingFileFailsWithoutFigures) {
  m_files.push_back(m_dir / "absent.eml");
  const Figures ours = Ours(Corpus("1"));
  EXPECT_EQ(ours.status, 1) << ours.output;
  EXPECT_NE(ours.output.find("absent.eml"), std::string::npos) << ours.output;
  EXPECT_EQ(ours.files, -1) << ours.output;
  const Figures python = Python(Corpus("1"));
  EXPECT_NE(python.status, 0) << python.output;
  EXPECT_EQ(python.files, -1) << python.output;
}

TEST_F(DecodeCorpus, AFileThatCannotBeOpenedFailsWithoutFigures) {
  // A folder has a size but cannot be read as a spool file.
  m_files.push_back(m_dir.Path());
  const Figures ours = Ours(Corpus("1"));
  EXPECT_EQ(ours.status, 1) << ours.output;
  EXPECT_EQ(ours.files, -1) << ours.output;
  EXPECT_NE(Python(Corpus("1")).status, 0);
}

TEST_F(DecodeCorpus, BadArgumentsAreAUsageError) {
  const std::vector<std::vector<std::string>> cases = {
      {"corpus"},
      {"corpus", "3"},
      {"corpus", "0", m_files[0]},
      {"corpus", "many", m_files[0]},
      {"corpus", "1001", m_files[0]},
  };
  for (const auto& args : cases) {
    const Figures ours = Ours(args);
    EXPECT_EQ(ours.status, 2) << args.size() << " " << ours.output;
    EXPECT_EQ(ours.files, -1);
    EXPECT_EQ(Python(args).status, 2) << args.size();
  }
}

}  // namespace
}  // namespace faxmail
