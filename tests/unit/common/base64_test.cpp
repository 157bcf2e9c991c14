#include "common/base64.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

namespace faxmail {
namespace {

using namespace std::string_literals;

// The test vectors of RFC 4648, section 10, both ways.
TEST(Base64Test, PublishedVectors) {
  const struct {
    const char* bytes;
    const char* text;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Base64Encode(c.bytes), c.text) << c.bytes;
    EXPECT_EQ(Base64DecodeStrict(c.text), std::optional<std::string>(c.bytes)) << c.text;
  }
}

TEST(Base64Test, EveryByteAndEveryTailLengthRoundTrips) {
  std::mt19937 random(7);
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  for (std::size_t length = 0; length < 40; ++length) {
    std::string data;
    for (std::size_t i = 0; i < length; ++i) data.push_back(static_cast<char>(random()));
    const std::string text = Base64Encode(data);
    EXPECT_EQ(text.size() % 4, 0u);
    EXPECT_EQ(Base64DecodeStrict(text), data) << text;
  }
  EXPECT_EQ(Base64DecodeStrict(Base64Encode(bytes)), bytes);
  // The two characters above 'z' and '9' in the alphabet: 0xfb 0xff encodes to "+/8=".
  EXPECT_EQ(Base64Encode("\xfb\xff"s), "+/8=");
}

TEST(Base64Test, AppendKeepsWhatIsThere) {
  std::string out = "AUTH PLAIN ";
  AppendBase64(out, "\0alice\0secret"s);
  EXPECT_EQ(out, "AUTH PLAIN AGFsaWNlAHNlY3JldA==");
}

TEST(Base64Test, StrictDecodingRefusesAnythingElse) {
  for (const std::string& text : {
           "Zg"s,        // no padding
           "Zg="s,       // short of a group
           "Z==="s,      // three pads
           "===="s,      // nothing but pads
           "Zg==Zg=="s,  // padding inside
           "Zm=v"s,      // padding before a letter
           "Zm9 "s,      // a blank
           "Zm9v\r\n"s,  // a line break
           "Zm9-"s,      // the URL-safe alphabet
           "Zm9_"s,
           "Zm9v\0\0\0\0"s,  // NULs
           "Zm9v\xc3\xa4=="s,
       })
    EXPECT_FALSE(Base64DecodeStrict(text).has_value()) << text;
}

}  // namespace
}  // namespace faxmail
