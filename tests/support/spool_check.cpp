#include "tests/support/spool_check.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string_view>
#include <utility>

#include "platform/file.h"
#include "tests/support/smtp_client.h"
#include "tests/support/test_support.h"

namespace faxmail::test {

namespace {

std::string Base64Lines(const std::string& bytes) {
  std::string out;
  constexpr std::size_t kChunk = 57;  // 76 characters a line
  for (std::size_t at = 0; at < bytes.size(); at += kChunk) {
    const std::size_t n = std::min(kChunk, bytes.size() - at);
    unsigned char line[80];
    const int length = EVP_EncodeBlock(
        line, reinterpret_cast<const unsigned char*>(bytes.data() + at), static_cast<int>(n));
    out.append(reinterpret_cast<const char*>(line), static_cast<std::size_t>(length));
    out += "\r\n";
  }
  return out;
}

// Longest counter value a name can hold (4294967295): ten digits.
constexpr std::size_t kMaxNumberDigits = 10;

// The leading digits of text as a counter value; false when there are none or too many.
bool LeadingNumber(std::string_view text, std::uint32_t& number, std::size_t& digits) {
  digits = 0;
  std::uint64_t value = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    if (digits == kMaxNumberDigits) return false;
    value = value * 10 + static_cast<std::uint64_t>(text[digits] - '0');
    ++digits;
  }
  if (digits == 0 || value > UINT32_MAX) return false;
  number = static_cast<std::uint32_t>(value);
  return true;
}

std::string FileNameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<TestAttachment> ClassicAttachments(int id, std::size_t size) {
  return {{"f" + std::to_string(id) + ".bin", AttachmentBytes(id, size)}};
}

// The message text that the decoder leaves for mail id: the text part without the line end
// that belongs to the delimiter, or a plain mail's whole text.
std::string ExpectedText(int id, bool plain) {
  return "body " + std::to_string(id) + (plain ? "\r\n" : "");
}

// What one ready envelope says: the mail (-1 when no subject names one), its message text
// file and its attachments (sent name, stored name) in order.
struct Envelope {
  int id = -1;
  std::string text;
  std::vector<std::pair<std::string, std::string>> attachments;
  std::vector<std::string> problems;  // each begins with ": "
};

// "<<inner>>" -> inner; false for a line of another form.
bool NameLine(const std::string& line, std::string& inner) {
  if (line.size() < 4 || !line.starts_with("<<") || !line.ends_with(">>")) return false;
  inner = line.substr(2, line.size() - 4);
  return true;
}

Envelope ReadEnvelope(const std::string& text) {
  Envelope envelope;
  const auto lines = CrLfLines(text);
  std::size_t at = 0;
  for (; at < lines.size() && lines[at] != "BEGIN BODY"; ++at) {
    if (!lines[at].starts_with("SUBJECT: m")) continue;
    std::uint32_t id = 0;
    std::size_t digits = 0;
    const std::string_view subject = std::string_view(lines[at]).substr(10);
    if (envelope.id >= 0 || !LeadingNumber(subject, id, digits) || digits != subject.size() ||
        id > INT32_MAX)
      envelope.problems.push_back(": subject line " + lines[at]);
    else
      envelope.id = static_cast<int>(id);
  }
  if (envelope.id < 0) envelope.problems.push_back(": no subject");
  std::string inner;
  if (at + 2 >= lines.size() || !NameLine(lines[at + 1], inner) ||
      inner.find(':') != std::string::npos || lines[at + 2] != "END BODY") {
    envelope.problems.push_back(": no whole body section");
    return envelope;
  }
  envelope.text = inner;
  at += 3;
  if (at < lines.size() && lines[at].empty()) ++at;
  if (at == lines.size()) return envelope;
  if (lines[at] != "BEGIN ATTACH" || lines.back() != "END ATTACH") {
    envelope.problems.push_back(": no whole attachment section");
    return envelope;
  }
  for (++at; at + 1 < lines.size(); ++at) {
    const auto colon = lines[at].find(':');
    if (!NameLine(lines[at], inner) || colon == std::string::npos) {
      envelope.problems.push_back(": attachment line " + lines[at]);
      continue;
    }
    envelope.attachments.emplace_back(inner.substr(0, colon - 2), inner.substr(colon - 1));
  }
  return envelope;
}

// The stored names in the "<<sent:stored>>" lines of an attachment list or an envelope.
std::vector<std::string> ListedAttachments(const std::string& text) {
  std::vector<std::string> stored;
  std::string inner;
  for (const auto& line : CrLfLines(text)) {
    const auto colon = line.find(':');
    if (NameLine(line, inner) && colon != std::string::npos)
      stored.push_back(inner.substr(colon - 1));
  }
  return stored;
}

}  // namespace

std::string AttachmentBytes(int id, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(id) * 7 + i / 251) & 0xff);
  return bytes;
}

std::string MailWithAttachments(int id, const std::vector<TestAttachment>& attachments) {
  const std::string n = std::to_string(id);
  std::string mail = "From: sender" + n + "@example.org\r\nTo: 12345@fax.example\r\nSubject: m" + n;
  if (attachments.empty()) return mail + "\r\n\r\nbody " + n + "\r\n";
  mail +=
      "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\nbody " +
      n + "\r\n";
  for (const TestAttachment& attachment : attachments)
    mail += "--b\r\nContent-Type: application/octet-stream; name=\"" + attachment.name +
            "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + Base64Lines(attachment.bytes);
  return mail + "--b--\r\n";
}

std::string MailWithAttachment(int id, std::size_t attachmentSize) {
  return MailWithAttachments(id, ClassicAttachments(id, attachmentSize));
}

std::string SendMail(std::uint16_t port, const std::string& data, int timeoutMs, bool* dataSent,
                     int greetingTimeoutMs) {
  if (dataSent) *dataSent = false;
  ScriptedClient client;
  if (!client.Connect(port)) return {};
  if (client.ReadLine(greetingTimeoutMs > 0 ? greetingTimeoutMs : timeoutMs).substr(0, 3) != "220")
    return {};
  if (!client.Send("HELO relay.example\r\nMAIL FROM:<a@example.org>\r\n"
                   "RCPT TO:<12345@fax.example>\r\nDATA\r\n"))
    return {};
  for (int i = 0; i < 4; ++i)
    if (client.ReadLine(timeoutMs).empty()) return {};
  if (dataSent) *dataSent = true;
  if (!client.Send(data + ".\r\n")) return {};
  const std::string reply = client.ReadLine(timeoutMs);
  client.Send("QUIT\r\n");
  client.ReadLine(timeoutMs);
  return reply;
}

SpoolCheck CheckSpool(const std::string& out, const AttachmentsOf& attachmentsOf) {
  SpoolCheck check;
  std::vector<platform::DirEntry> entries;
  platform::FindFiles(out, "*", entries);
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });
  std::set<std::string> named;
  std::map<std::uint32_t, std::string> attachmentNumbers;  // number -> the envelope naming it
  for (const auto& entry : entries) {
    const std::string& name = entry.name;
    std::uint32_t number = 0;
    if (!name.ends_with(".tmp") || !EnvelopeNumber(name.substr(0, name.size() - 4), number))
      continue;
    named.insert(name);
    const Envelope envelope = ReadEnvelope(ReadWholeFile(out + name));
    for (const std::string& problem : envelope.problems) check.problems.push_back(name + problem);
    if (envelope.id < 0) continue;
    const int id = envelope.id;
    ++check.ready[id];

    const std::string ownText = name.substr(0, name.size() - 4) + ".bdy";
    if (envelope.text != ownText)
      check.problems.push_back(name + ": names the message text " + envelope.text);
    const std::vector<TestAttachment> expected = attachmentsOf(id);
    named.insert(envelope.text);
    if (ReadWholeFile(out + envelope.text) != ExpectedText(id, expected.empty()))
      check.problems.push_back(name + ": message text " + envelope.text + " is not whole");

    if (envelope.attachments.size() != expected.size())
      check.problems.push_back(name + ": " + std::to_string(envelope.attachments.size()) +
                               " attachments, sent with " + std::to_string(expected.size()));
    for (std::size_t i = 0; i < envelope.attachments.size(); ++i) {
      const auto& [sent, stored] = envelope.attachments[i];
      if (!named.insert(stored).second)
        check.problems.push_back(name + ": attachment " + stored + " named twice");
      std::uint32_t attachment = 0;
      if (!AttachmentNumber(stored, attachment)) {
        check.problems.push_back(name + ": stored attachment name " + stored);
      } else if (const auto [it, first] = attachmentNumbers.emplace(attachment, name); !first) {
        check.problems.push_back(name + ": attachment number of " + stored + " also used by " +
                                 it->second);
      }
      if (i >= expected.size()) continue;
      if (sent != expected[i].name)
        check.problems.push_back(name + ": attachment " + stored + " sent as " + sent +
                                 ", expected " + expected[i].name);
      const std::string content = ReadWholeFile(out + stored);
      if (content != expected[i].bytes)
        check.problems.push_back(name + ": attachment " + stored + " has " +
                                 std::to_string(content.size()) + " bytes, sent with " +
                                 std::to_string(expected[i].bytes.size()));
    }
  }
  for (const auto& entry : entries)
    if (!named.contains(entry.name)) check.leftovers.push_back(entry.name);
  return check;
}

SpoolCheck CheckSpool(const std::string& out, std::size_t attachmentSize) {
  return CheckSpool(out,
                    [attachmentSize](int id) { return ClassicAttachments(id, attachmentSize); });
}

void TakeEnvelope(const std::string& out, const std::string& envelopeName) {
  for (const auto& line : CrLfLines(ReadWholeFile(out + envelopeName))) {
    if (line.size() < 4 || line.compare(0, 2, "<<") != 0) continue;
    const auto colon = line.find(':');
    platform::DeleteFile(out + (colon == std::string::npos
                                    ? line.substr(2, line.size() - 4)
                                    : line.substr(colon + 1, line.size() - colon - 3)));
  }
  platform::DeleteFile(out + envelopeName);
}

void SpoolNumbers::Add(const SpoolNumbers& other) {
  raw.insert(other.raw.begin(), other.raw.end());
  envelope.insert(other.envelope.begin(), other.envelope.end());
  attachment.insert(other.attachment.begin(), other.attachment.end());
}

bool EnvelopeNumber(const std::string& pathOrName, std::uint32_t& number) {
  const std::string name = FileNameOf(pathOrName);
  std::size_t digits = 0;
  return name.starts_with("ENV") &&
         LeadingNumber(std::string_view(name).substr(3), number, digits) &&
         digits + 3 == name.size();
}

bool AttachmentNumber(const std::string& name, std::uint32_t& number) {
  std::size_t digits = 0;
  return name.starts_with("ATT") &&
         LeadingNumber(std::string_view(name).substr(3), number, digits) &&
         name.size() > digits + 3 && name[digits + 3] == '.';
}

bool RawNumber(const std::string& name, std::uint32_t& number) {
  std::size_t digits = 0;
  return LeadingNumber(name, number, digits) && digits < name.size() && name[digits] == '.';
}

SpoolNumbers NumbersInSpool(const std::string& out) {
  SpoolNumbers numbers;
  std::vector<platform::DirEntry> entries;
  platform::FindFiles(out, "*", entries);
  for (const auto& entry : entries) {
    const std::string& name = entry.name;
    std::uint32_t number = 0;
    std::size_t digits = 0;
    if (LeadingNumber(name, number, digits)) {
      // "<n>.cqx", "<n>.rcpt", "<n>.rcpt.new", "<n>.ENV<m>.dcd", "<n>.ENV<m>.dcq",
      // "<n>-<time>.debug"
      if (digits < name.size() && (name[digits] == '.' || name[digits] == '-'))
        numbers.raw.insert(number);
      if (name.ends_with(".dcd") || name.ends_with(".dcq")) {
        const auto env = name.find(".ENV");
        if (env != std::string::npos &&
            EnvelopeNumber(name.substr(env + 1, name.size() - 4 - env - 1), number))
          numbers.envelope.insert(number);
      }
      continue;
    }
    const auto dot = name.find('.');
    if (EnvelopeNumber(name.substr(0, dot), number)) {
      numbers.envelope.insert(number);
      // An unfinished envelope's list lines name attachments that may not exist yet.
      if (dot == std::string::npos)
        for (const auto& stored : ListedAttachments(ReadWholeFile(out + name)))
          if (AttachmentNumber(stored, number)) numbers.attachment.insert(number);
    } else if (AttachmentNumber(name, number)) {
      numbers.attachment.insert(number);
    } else if (platform::MatchPattern(name, "~ATTC*.imp")) {
      for (const auto& stored : ListedAttachments(ReadWholeFile(out + name)))
        if (AttachmentNumber(stored, number)) numbers.attachment.insert(number);
    }
  }
  return numbers;
}

std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

}  // namespace faxmail::test
