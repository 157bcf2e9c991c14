// Test mail whose every byte can be checked in the fax server's files, and the check of OUT:
// mail "m<id>" carries the text "body <id>" and attachments whose bytes follow from the test's
// own rule, so a ready envelope proves itself whole or not, and proves which mail it holds.
// The classic shape (MailWithAttachment) has one binary attachment "f<id>.bin" whose bytes
// follow from id and size alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace faxmail::test {

std::string AttachmentBytes(int id, std::size_t size);
// The message data (headers and body, CR LF lines, no end line) of mail id.
std::string MailWithAttachment(int id, std::size_t attachmentSize);

// One attachment of a test mail: the name it is sent under and its bytes (sent in base64).
struct TestAttachment {
  std::string name;
  std::string bytes;
};
// Mail id with these attachments in a multipart message (its last line end belongs to the
// delimiter); without any, a plain text mail of one line "body <id>".
std::string MailWithAttachments(int id, const std::vector<TestAttachment>& attachments);
// What mail id was sent with.
using AttachmentsOf = std::function<std::vector<TestAttachment>(int id)>;

// One transaction on a new connection: the reply to the end of the data ("250 Mail Received
// OK\r\n", "452 ..."), empty when the connection failed or broke first. dataSent: whether the
// message data went out (a mail cut off before it can simply be sent again).
// greetingTimeoutMs: the wait for the 220 when it differs from timeoutMs (0). A client may
// need to give up sooner there: when many connect at once and the listen queue overflows,
// the kernel can complete a connection that the server never sees, and no greeting comes.
std::string SendMail(std::uint16_t port, const std::string& data, int timeoutMs = 30000,
                     bool* dataSent = nullptr, int greetingTimeoutMs = 0);

struct SpoolCheck {
  std::map<int, int> ready;            // id -> ready envelopes seen for it
  std::vector<std::string> problems;   // an envelope naming a short or missing file, ...
  std::vector<std::string> leftovers;  // files that are neither ready envelopes nor named by one
};
// Reads every ready envelope in out (a folder path ending with '/') and checks it and the files
// it names against the mail it came from: its own message text "ENV<n>.bdy" with the mail's
// text, the mail's attachments in their order, whole, and no stored attachment (nor its
// number) named by two envelopes.
SpoolCheck CheckSpool(const std::string& out, const AttachmentsOf& attachmentsOf);
// The classic shape: one attachment of attachmentSize bytes.
SpoolCheck CheckSpool(const std::string& out, std::size_t attachmentSize);
// What the fax server does with a ready envelope: takes it and its files away.
void TakeEnvelope(const std::string& out, const std::string& envelopeName);

// The numbers that files in out use, by counter: raw message files ("<n>.cqx", their commit
// records and decoded markers, kept debug copies), envelopes ("ENV<n>" in every form, and the
// envelope a decoded marker names) and attachments ("ATT<n>.<ext>", also those only named by a
// scratch list or an unfinished envelope, whose files may not exist yet).
struct SpoolNumbers {
  std::set<std::uint32_t> raw, envelope, attachment;
  void Add(const SpoolNumbers& other);
};
SpoolNumbers NumbersInSpool(const std::string& out);
// The number in an envelope path or name ("/d/OUT/ENV12" -> 12), or in an attachment name
// ("ATT7.bin" -> 7); none when the text is not of that form.
bool EnvelopeNumber(const std::string& pathOrName, std::uint32_t& number);
bool AttachmentNumber(const std::string& name, std::uint32_t& number);
// The number of a raw message file or of a file named after one ("12.cqx", "12.rcpt" -> 12).
bool RawNumber(const std::string& name, std::uint32_t& number);

// The lines of a text with CR LF line ends, without them.
std::vector<std::string> CrLfLines(const std::string& text);

}  // namespace faxmail::test
