// The attachment encoder: content types by signature, the part's header lines, and base64
// lines that any decoder takes back to the original bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "gateway/smtp_out/encoder.h"
#include "platform/file.h"
#include "tests/support/reference_base64.h"
#include "tests/support/test_support.h"

namespace faxmail {
namespace {

using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

// Encodes bytes as a file named name; returns the part file's contents.
std::string Encode(const TempDir& dir, const std::string& bytes,
                   const std::string& name = "fax.tif") {
  WriteWholeFile(dir / "input", bytes);
  platform::File input;
  EXPECT_EQ(platform::File::Open(dir / "input", platform::Access::Read, platform::Share::Read,
                                 platform::Disposition::OpenExisting, input),
            0);
  EXPECT_EQ(EncodeAttachment(input, dir / "part", name), 0);
  return ReadWholeFile(dir / "part");
}

std::string HeaderLines(const std::string& type, const std::string& name) {
  return "Content-Type: " + type + ";\r\n        name=\"" + name + "\"\r\n" +
         "Content-Transfer-Encoding: base64\r\n" +
         "Content-Disposition: attachment;\r\n        filename=\"" + name + "\"\r\n" +
         "Content-Description: " + name + "\r\n\r\n";
}

// The same base64 text from the system's library, cut into lines of 72 characters with CR LF.
std::string Reference(const std::string& bytes) {
  const std::string encoded = test::ReferenceBase64(bytes);
  std::string lines;
  for (std::size_t at = 0; at < encoded.size(); at += 72) lines += encoded.substr(at, 72) + "\r\n";
  return lines;
}

TEST(Encoder, ContentTypeBySignature) {
  struct Case {
    std::string bytes;
    const char* type;
  };
  const Case cases[] = {
      {"GIF89a\x01\x00", "image/gif"},
      {"GIF but not an image", "image/gif"},
      {std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10), "image/jpeg"},
      {std::string("\x00\x00\x01\xB3\x14", 5), "video/mpeg"},
      {std::string("\x00\x00\x01\xB3", 4), "video/mpeg"},
      {std::string("\x00\x00\x01", 3), "application/octet-stream"},  // shorter than its signature
      {"%!PS-Adobe-3.0\n", "application/postscript"},
      {"%PDF-1.4\n", "application/octet-stream"},
      {"II*\0", "application/octet-stream"},  // a TIFF image
      {"GI", "application/octet-stream"},
      {"", "application/octet-stream"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    WriteWholeFile(dir / "input", c.bytes);
    platform::File input;
    ASSERT_EQ(platform::File::Open(dir / "input", platform::Access::Read, platform::Share::Read,
                                   platform::Disposition::OpenExisting, input),
              0);
    EXPECT_STREQ(GuessContentType(input), c.type) << c.bytes;
    // The file is left at its start.
    char first = 0;
    std::size_t got = 0;
    input.Read(&first, 1, got);
    EXPECT_EQ(got, c.bytes.empty() ? 0u : 1u);
    if (got) {
      EXPECT_EQ(first, c.bytes[0]);
    }
  }
}

TEST(Encoder, LinesOfSeventyTwoCharacters) {
  struct Case {
    std::size_t size;
    std::string body;
  };
  const std::string fifty4(54, 'a');
  const Case cases[] = {
      {0, ""},
      {1, "YQ==\r\n"},
      {2, "YWE=\r\n"},
      {3, "YWFh\r\n"},
      {54, std::string(Reference(fifty4))},
      {55, Reference(fifty4).substr(0, 74) + "YQ==\r\n"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const std::string part = Encode(dir, std::string(c.size, 'a'));
    EXPECT_EQ(part, HeaderLines("application/octet-stream", "fax.tif") + c.body) << c.size;
  }
  // 54 bytes: exactly one line of 72 characters.
  EXPECT_EQ(Reference(fifty4).size(), 74u);
}

TEST(Encoder, AnyBytesRoundTripAcrossBlockBoundaries) {
  std::mt19937 random(7);
  TempDir dir;
  for (const std::size_t size : {53u, 100u, 55295u, 55296u, 55297u, 200000u}) {
    std::string bytes(size, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    bytes[0] = 'I';  // no signature
    const std::string part = Encode(dir, bytes, "scan.bin");
    const std::string header = HeaderLines("application/octet-stream", "scan.bin");
    ASSERT_TRUE(part.starts_with(header));
    EXPECT_EQ(part.substr(header.size()), Reference(bytes)) << size;
  }
}

TEST(Encoder, PartFileThatCannotBeCreatedIsOne) {
  TempDir dir;
  WriteWholeFile(dir / "input", "data");
  platform::File input;
  ASSERT_EQ(platform::File::Open(dir / "input", platform::Access::Read, platform::Share::Read,
                                 platform::Disposition::OpenExisting, input),
            0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(EncodeAttachment(input, dir / "missing/part", "x"), 1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(err.starts_with(dir / "missing/part: ")) << err;
}

}  // namespace
}  // namespace faxmail
