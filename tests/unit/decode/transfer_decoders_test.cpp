#include "gateway/decode/transfer_decoders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>

#include "platform/digest.h"
#include "tests/unit/decode/decode_test_support.h"

namespace faxmail::decode::test {
namespace {

using namespace std::string_literals;

// Base64 of data in one line, written here from RFC 2045's table: the reference the decoders'
// output is held against.
std::string EncodeBase64Line(std::string_view data) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, data.size() - i);
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k)
      group = group << 8 | (k < n ? static_cast<unsigned char>(data[i + k]) : 0u);
    for (std::size_t k = 0; k < 4; ++k)
      out.push_back(k <= n ? kAlphabet[group >> (18 - 6 * k) & 0x3f] : '=');
  }
  return out;
}

// The digest text computed apart from the decoders: the system's MD5, in base64.
std::string ReferenceDigest(std::string_view data) {
  platform::Digest md5(platform::DigestAlgorithm::Md5);
  md5.Update(data);
  std::array<unsigned char, platform::Digest::kMaxSize> digest{};
  EXPECT_TRUE(md5.Final(digest));
  return EncodeBase64Line(
      std::string_view(reinterpret_cast<const char*>(digest.data()), md5.Size()));
}

// Base64 with a line break every 76 characters.
std::string ReferenceBase64(std::string_view data) {
  std::string out;
  for (std::size_t i = 0; i < data.size(); i += 57)
    out.append(EncodeBase64Line(data.substr(i, 57))).push_back('\n');
  return out;
}

struct Decoded {
  std::string output;
  std::string digest;
  std::string warnings;
  std::string rest;  // what follows the part's delimiter
};

// Decodes a body that is followed by the delimiter "--b", read in pieces of chunk bytes; the
// digest is "none" when not wanted.
Decoded Decode(TransferEncoding encoding, std::string_view body, bool suppressCr,
               std::size_t chunk = 0, bool wantDigest = true) {
  const std::string message = std::string(body) + "\n--b--\nrest";
  ConsoleCapture console;
  auto reader = MemoryReader(message, chunk);
  reader->AddBoundary("b");
  Decoded d;
  StringOutput output(d.output);
  d.digest = DecodeBody(*reader, encoding, output, wantDigest, suppressCr).value_or("none");
  d.warnings = console.err;
  if (reader->ReadBoundary() == 1) {
    StringOutput rest(d.rest);
    CopyUnencoded(*reader, rest, false);
  }
  return d;
}

TEST(Base64Test, DecodesGroupsPaddingAndNoise) {
  struct Case {
    const char* name;
    std::string text;
    std::string expected;
    bool premature;
  };
  const Case cases[] = {
      {"three bytes", "QUJD", "ABC", false},
      {"one pad", "QUI=", "AB", false},
      {"two pads", "QQ==", "A", false},
      {"data after padding is ignored", "QQ==QUJD\nQUJD", "A", false},
      {"line breaks and stray characters", "QU\nJ*D\tQ U\nJ-D", "ABCABC", false},
      {"padding first decodes nothing", "=QUJ\nQUJD", "", false},
      {"padding second decodes nothing", "Q=UJQUJD", "", false},
      {"padding third gives one byte", "QQ=AQUJD", "A", false},
      // Without padding the last characters still carry whole bytes; a lone one carries none.
      {"group of two without padding", "QUJDQQ", "ABCA", true},
      {"group of three without padding", "QUJDQUI\n", "ABCAB", true},
      {"group of three with one pad", "QUJDQQ=", "ABCA", true},
      {"padding second in a short group", "QUJDQ=", "ABC", true},
      {"lone character after noise", "QUJD\n***\nQ", "ABC", true},
      {"empty", "", "", false},
      {"only noise", "*** ***\n", "", false},
      {"all byte values", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=",
       std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f"
                   "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f",
                   32),
       false},
  };
  for (const Case& c : cases) {
    const Decoded whole = Decode(TransferEncoding::Base64, c.text, false);
    EXPECT_EQ(whole.output, c.expected) << c.name;
    EXPECT_EQ(whole.digest, ReferenceDigest(c.expected)) << c.name;
    EXPECT_EQ(whole.warnings, c.premature ? "munpack: warning: Premature EOF\n" : "") << c.name;
    EXPECT_EQ(whole.rest, "rest") << c.name;
    for (std::size_t chunk = 1; chunk < c.text.size() + 8; ++chunk) {
      const Decoded split = Decode(TransferEncoding::Base64, c.text, false, chunk);
      ASSERT_EQ(split.output, whole.output) << c.name << " chunk " << chunk;
      ASSERT_EQ(split.warnings, whole.warnings) << c.name << " chunk " << chunk;
    }
  }
}

TEST(Base64Test, SuppressCrDropsCrFromTheOutputButNotFromTheDigest) {
  const std::string data = "line 1\r\nline 2\r\n\r";
  const std::string text = ReferenceBase64(data);
  const Decoded kept = Decode(TransferEncoding::Base64, text, false);
  EXPECT_EQ(kept.output, data);
  const Decoded dropped = Decode(TransferEncoding::Base64, text, true);
  EXPECT_EQ(dropped.output, "line 1\nline 2\n");
  EXPECT_EQ(dropped.digest, ReferenceDigest(data));
}

TEST(Base64Test, LargeDataMatchesTheReferenceEncoder) {
  std::mt19937 random(7);
  std::string data(300000, '\0');
  for (char& c : data) c = static_cast<char>(random());
  const std::string text = ReferenceBase64(data);
  for (const std::size_t chunk : {0, 1, 77, 1023, 4096}) {
    const Decoded d = Decode(TransferEncoding::Base64, text, false, chunk);
    ASSERT_EQ(d.output.size(), data.size()) << chunk;
    ASSERT_TRUE(d.output == data) << chunk;
    EXPECT_EQ(d.digest, ReferenceDigest(data));
    std::string withoutCr;
    for (const char c : data)
      if (c != '\r') withoutCr.push_back(c);
    ASSERT_TRUE(Decode(TransferEncoding::Base64, text, true, chunk).output == withoutCr) << chunk;
  }
}

// The quoted-printable cases run on both decoders of message text: the wide one (where the
// processor has AVX-512) and the portable one.
class QuotedPrintableTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (UseWideQuotedPrintable(GetParam()) != GetParam())
      GTEST_SKIP()
          << "no wide decoder: not in this build, or the processor has no AVX-512 F and BW";
  }
  void TearDown() override { UseWideQuotedPrintable(true); }
};

INSTANTIATE_TEST_SUITE_P(Decoders, QuotedPrintableTest, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& param) {
                           return param.param ? "Wide" : "Portable";
                         });

TEST_P(QuotedPrintableTest, DecodesEscapesAndSoftBreaks) {
  struct Case {
    const char* name;
    std::string text;
    std::string expected;
    std::string canonical;  // what the digest covers
  };
  const Case cases[] = {
      {"soft line break", "a=\nb", "ab", "ab"},
      {"escaped CR LF gives only LF", "x=0D=0Ay", "x\ny", "x\r\ny"},
      {"escaped equals", "1+1=3D2", "1+1=2", "1+1=2"},
      {"lower-case hex", "=3d=e9", "=\xe9", "=\xe9"},
      {"invalid escape", "=ZZ.", "\xff.", "\xff."},
      {"one invalid digit", "=4Z.", "\x7f.", "\x7f."},
      {"escape swallows a line end", "=A\nb",
       "\xff"
       "b",
       "\xff"
       "b"},
      {"lines keep their ends", "one\ntwo\n", "one\ntwo\n", "one\r\ntwo\r\n"},
      {"literal CR stays", "a\rb", "a\rb", "a\rb"},
      {"equals at the end of the part", "end=", "end", "end"},
      {"soft break before the delimiter", "end=\n", "end", "end"},
      {"empty", "", "", ""},
  };
  for (const Case& c : cases) {
    const Decoded whole = Decode(TransferEncoding::QuotedPrintable, c.text, false);
    EXPECT_EQ(whole.output, c.expected) << c.name;
    EXPECT_EQ(whole.digest, ReferenceDigest(c.canonical)) << c.name;
    EXPECT_EQ(whole.rest, "rest") << c.name;
    // Message text is decoded without a digest, by way of its own loop.
    const Decoded text = Decode(TransferEncoding::QuotedPrintable, c.text, false, 0, false);
    EXPECT_EQ(text.output, c.expected) << c.name;
    EXPECT_EQ(text.digest, "none") << c.name;
    EXPECT_EQ(text.rest, "rest") << c.name;
    for (std::size_t chunk = 1; chunk < c.text.size() + 8; ++chunk) {
      ASSERT_EQ(Decode(TransferEncoding::QuotedPrintable, c.text, false, chunk).output,
                whole.output)
          << c.name << " chunk " << chunk;
      ASSERT_EQ(Decode(TransferEncoding::QuotedPrintable, c.text, false, chunk, false).output,
                whole.output)
          << c.name << " chunk " << chunk;
    }
  }
}

// Decodes text both ways, with the digest (escape by escape) and without (message text, in
// windows of many bytes): the output must be the same.
void ExpectBothPathsAlike(const std::string& text, std::size_t chunk, const std::string& what) {
  const Decoded digested = Decode(TransferEncoding::QuotedPrintable, text, false, chunk);
  const Decoded plain = Decode(TransferEncoding::QuotedPrintable, text, false, chunk, false);
  ASSERT_EQ(Escape(plain.output), Escape(digested.output)) << what << " chunk " << chunk;
  ASSERT_EQ(plain.rest, digested.rest) << what << " chunk " << chunk;
}

TEST_P(QuotedPrintableTest, EscapesDecodeAlikeAtEveryOffset) {
  // Each piece is put at every offset from the start of the text, with literal text before
  // and after it, so that it falls at every place of the decoder's windows, on their edges
  // and across them, and on the edge of the text.
  struct Case {
    const char* name;
    std::string piece;
    std::string decoded;
  };
  const Case cases[] = {
      {"soft line break", "=\n", ""},
      {"escape", "=E9", "\xe9"},
      {"lower-case escape", "=e9", "\xe9"},
      {"encoded CR is dropped", "=0D", ""},
      {"encoded CR LF", "=0D=0A", "\n"},
      {"escaped equals", "=3D", "="},
      {"invalid escape", "=ZZ", "\xff"},
      {"one invalid digit", "=4Z", "\x7f"},
      {"escape swallows a line end", "=A\n", "\xff"},
      {"equals as a digit", "==41",
       "\xf4"
       "1"},
      {"equals after an escape", "=41=42", "AB"},
      {"soft break then escape", "=\n=41", "A"},
      {"two soft breaks", "=\n=\n", ""},
      {"equals before CR LF kept as text", "=\r\n", "\xff"},
      {"trailing whitespace is kept", "a \t\n", "a \t\n"},
      {"whitespace before a soft break", "a  =\n", "a  "},
      {"three escapes together", "=41=42=43", "ABC"},
      {"escape then soft break", "=41=\n", "A"},
      {"8-bit bytes as digits", "=\xe9\xff", "\xff"},
      {"digits of every kind", "=aF=Af=09=g0", "\xaf\xaf\x09\xf0"},
      {"encoded CR between texts", "a=0Db=0D", "ab"},
      {"literal CR LF", "\r\n", "\r\n"},
      {"dashes and LFs", "\n-\n-x-", "\n-\n-x-"},
  };
  std::string before;
  for (int i = 0; i < 3; ++i)
    before += "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  // Long enough that the piece is decoded in the decoder's blocks, not byte by byte as near
  // the end of the text.
  const std::string after(160, '.');
  for (const Case& c : cases) {
    for (std::size_t offset = 0; offset <= 140; ++offset) {
      const std::string text = before.substr(0, offset) + c.piece + after;
      const std::string expected = before.substr(0, offset) + c.decoded + after;
      const std::string what = std::string(c.name) + " at " + std::to_string(offset);
      ASSERT_EQ(Escape(Decode(TransferEncoding::QuotedPrintable, text, false, 0, false).output),
                Escape(expected))
          << what;
      for (const std::size_t chunk : {std::size_t{0}, std::size_t{1}, std::size_t{5},
                                      std::size_t{16}, std::size_t{17}, std::size_t{33}})
        ExpectBothPathsAlike(text, chunk, what);
      // The piece at the very end of the part, where its escape may be cut short.
      ExpectBothPathsAlike(before.substr(0, offset) + c.piece, 0, what + ", at the end");
    }
  }
}

TEST_P(QuotedPrintableTest, RandomTextDecodesAlikeOnBothPaths) {
  // Text made mostly of the bytes that matter: '=', LF, CR, hex digits and others, in lengths
  // across the decoder's windows, its output blocks and the reader's buffer.
  const std::string alphabet = "====\n\n\r  \tAaF09Zz=-";
  std::mt19937 random(7);
  for (int round = 0; round < 400; ++round) {
    const std::size_t length = round < 380 ? random() % 300 : 20000 + random() % 150000;
    std::string text(length, 'x');
    for (char& c : text)
      if (random() % 3 != 0) c = alphabet[random() % alphabet.size()];
    const std::string what = "round " + std::to_string(round);
    ExpectBothPathsAlike(text, 0, what);
    if (round < 380) {
      ExpectBothPathsAlike(text, 1 + random() % 40, what);
    } else {
      ExpectBothPathsAlike(text, 1000 + random() % 9000, what);
    }
  }
}

TEST(CopyUnencodedTest, CopiesBytesAndDigestsCanonicalText) {
  const std::string text = "first\nsecond\r\n\xff\x00 last"s;
  for (const std::size_t chunk : {0, 1, 3}) {
    const Decoded d = Decode(TransferEncoding::None, text, false, chunk);
    EXPECT_EQ(d.output, text);
    EXPECT_EQ(d.digest, ReferenceDigest("first\r\nsecond\r\r\n\xff\x00 last"s));
  }
  // No digest asked for, none given.
  auto reader = MemoryReader("abc");
  NullOutput null;
  EXPECT_EQ(CopyUnencoded(*reader, null, false), std::nullopt);
  EXPECT_EQ(null.Count(), 3u);
}

TEST(DigestTest, DigestTextIsBase64OfTheMd5) {
  Md5Digest empty;
  EXPECT_EQ(DigestToText(empty), "1B2M2Y8AsgTpgAmY7PhCfg==");
  Md5Digest pieces;
  pieces.Update("The quick brown fox ");
  pieces.Update("jumps over the lazy dog");
  const std::string text = DigestToText(pieces);
  EXPECT_EQ(text, ReferenceDigest("The quick brown fox jumps over the lazy dog"));
  EXPECT_EQ(text.size(), 24u);
}

TEST(DigestTest, ContentMd5CheckComparesOverTheComputedLength) {
  const std::string digest = ReferenceDigest("data");
  struct Case {
    std::string received;
    bool ok;
  };
  const Case cases[] = {
      {digest, true},
      {digest + " (trailing comment)\nNext: header", true},
      {digest.substr(0, 23), false},
      {"", false},
      {"X" + digest.substr(1), false},
  };
  for (const Case& c : cases) {
    ConsoleCapture console;
    EXPECT_EQ(CheckContentMd5(digest, c.received, "/out/ATT7.pdf"), c.ok) << c.received;
    EXPECT_EQ(console.err,
              c.ok ? "" : "munpack: warning: /out/ATT7.pdf was corrupted in transit\n");
  }
}

TEST(StreamOutputTest, WritesThroughATextModeStream) {
  faxmail::test::TempDir dir;
  const std::string path = dir / "out.txt";
  platform::Stream stream;
  ASSERT_EQ(
      platform::Stream::Open(path, "w", platform::StreamMode::Text, platform::Share::None, stream),
      0);
  StreamOutput output(stream);
  auto reader = MemoryReader("YQ0KYg0KYw==");  // "a\r\nb\r\nc"
  DecodeBase64(*reader, output, false, true);
  ASSERT_EQ(stream.Close(), 0);
  EXPECT_FALSE(output.Failed());
  EXPECT_EQ(faxmail::test::ReadWholeFile(path), "a\r\nb\r\nc");
}

}  // namespace
}  // namespace faxmail::decode::test
