// The composition tests' fixture: a ready file composed into a work file in IN, the
// recipient found in it, and the attachment part the encoder makes of given bytes, written
// out with the system's base64 (not the encoder's).
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "gateway/queue/file_man.h"
#include "gateway/smtp_out/compose.h"
#include "platform/file.h"
#include "tests/support/reference_base64.h"
#include "tests/support/test_support.h"
#include "tests/unit/smtp_out/sender_test_util.h"

namespace faxmail::test {

struct Composed {
  int result = -1;
  std::string text;
  std::string firstAttachment;
  std::string id;  // the MIME boundary's message identifier
  std::string Boundary() const { return "----= Message-ID:" + id; }
};

class ComposeTest : public SenderTest {
 protected:
  Composed Compose(const std::string& readyText) {
    WriteWholeFile(In("r.tmp"), readyText);
    CFileMan options;
    platform::File ready;
    platform::File work;
    EXPECT_EQ(platform::File::Open(In("r.tmp"), platform::Access::Read, platform::Share::None,
                                   platform::Disposition::OpenExisting, ready),
              0);
    EXPECT_EQ(platform::File::Open(In("w.cqx"), platform::Access::ReadWrite, platform::Share::None,
                                   platform::Disposition::CreateAlways, work),
              0);
    Composed composed;
    composed.result = ComposeMessage(ready, work, options, composed.firstAttachment);
    // Both files are back at their start.
    std::int64_t position = -1;
    work.Seek(0, SEEK_CUR, &position);
    EXPECT_EQ(position, 0);
    ready.Seek(0, SEEK_CUR, &position);
    EXPECT_EQ(position, 0);
    work.Close();
    composed.text = ReadWholeFile(In("w.cqx"));
    const std::string key = "boundary=\"----= Message-ID:";
    if (const auto at = composed.text.find(key); at != std::string::npos)
      composed.id = composed.text.substr(
          at + key.size(), composed.text.find('"', at + key.size()) - at - key.size());
    return composed;
  }
  std::string Receiver() {
    platform::File work;
    EXPECT_EQ(platform::File::Open(In("w.cqx"), platform::Access::ReadWrite, platform::Share::None,
                                   platform::Disposition::OpenExisting, work),
              0);
    std::string line;
    return FindReceiver(work, line) ? line : "<none>";
  }
  // The part the encoder makes of bytes shown as name, with the CR LF that closes it.
  static std::string EncodedPart(const std::string& bytes, const std::string& name) {
    std::string part = "Content-Type: application/octet-stream;\r\n        name=\"" + name +
                       "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: "
                       "attachment;\r\n        filename=\"" +
                       name + "\"\r\nContent-Description: " + name + "\r\n\r\n";
    // Lines of 72 characters, as the part is written.
    const std::string encoded = ReferenceBase64(bytes);
    for (std::size_t at = 0; at < encoded.size(); at += 72) part += encoded.substr(at, 72) + "\r\n";
    return part + "\r\n";
  }
  static std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    bytes[0] = 'I';
    return bytes;
  }
};

}  // namespace faxmail::test
