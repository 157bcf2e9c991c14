// The digests against the published test vectors (RFC 1321 for MD5, FIPS 180-2 for SHA-256),
// whole and in pieces split at every byte.
#include <gtest/gtest.h>

#include <string>

#include "platform/digest.h"

namespace faxmail::platform {
namespace {

std::string Hex(DigestAlgorithm algorithm, const std::string& text, std::size_t split) {
  Digest digest(algorithm);
  EXPECT_TRUE(digest.Valid());
  digest.Update(std::string_view(text).substr(0, split));
  digest.Update(std::string_view(text).substr(split));
  std::array<unsigned char, Digest::kMaxSize> out{};
  EXPECT_TRUE(digest.Final(out));
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < digest.Size(); ++i) {
    hex.push_back(kHex[out[i] >> 4]);
    hex.push_back(kHex[out[i] & 0x0f]);
  }
  return hex;
}

TEST(Digests, KnownVectorsWholeAndSplitAtEveryByte) {
  struct Case {
    DigestAlgorithm algorithm;
    std::string text;
    std::string hex;
  };
  const Case cases[] = {
      {DigestAlgorithm::Md5, "", "d41d8cd98f00b204e9800998ecf8427e"},
      {DigestAlgorithm::Md5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {DigestAlgorithm::Md5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {DigestAlgorithm::Sha256, "",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {DigestAlgorithm::Sha256, "abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {DigestAlgorithm::Sha256, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const Case& c : cases)
    for (std::size_t split = 0; split <= c.text.size(); ++split)
      EXPECT_EQ(Hex(c.algorithm, c.text, split), c.hex) << c.text << " split at " << split;
}

TEST(Digests, FinalIsOnceAndUpdatesAfterItDoNothing) {
  Digest digest(DigestAlgorithm::Md5);
  std::array<unsigned char, Digest::kMaxSize> out{};
  ASSERT_TRUE(digest.Final(out));
  digest.Update("more");
  EXPECT_FALSE(digest.Final(out));
  EXPECT_FALSE(digest.Valid());
}

}  // namespace
}  // namespace faxmail::platform
