#include "tests/support/spool_check.h"

#include <openssl/evp.h>

#include <algorithm>
#include <set>

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

std::vector<std::string> Lines(const std::string& text) {
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

}  // namespace

std::string AttachmentBytes(int id, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(id) * 7 + i / 251) & 0xff);
  return bytes;
}

std::string MailWithAttachment(int id, std::size_t attachmentSize) {
  const std::string n = std::to_string(id);
  return "From: sender" + n + "@example.org\r\nTo: 12345@fax.example\r\nSubject: m" + n +
         "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
         "--b\r\nContent-Type: text/plain\r\n\r\nbody " +
         n +
         "\r\n"
         "--b\r\nContent-Type: application/octet-stream; name=\"f" +
         n +
         ".bin\"\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\n" +
         Base64Lines(AttachmentBytes(id, attachmentSize)) + "--b--\r\n";
}

std::string SendMail(std::uint16_t port, const std::string& data, int timeoutMs, bool* dataSent) {
  if (dataSent) *dataSent = false;
  ScriptedClient client;
  if (!client.Connect(port)) return {};
  if (client.ReadLine(timeoutMs).substr(0, 3) != "220") return {};
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

SpoolCheck CheckSpool(const std::string& out, std::size_t attachmentSize) {
  SpoolCheck check;
  std::vector<platform::DirEntry> entries;
  platform::FindFiles(out, "*", entries);
  std::set<std::string> named;
  for (const auto& entry : entries) {
    const std::string& name = entry.name;
    if (name.size() < 8 || name.compare(0, 3, "ENV") != 0 ||
        name.compare(name.size() - 4, 4, ".tmp") != 0)
      continue;
    named.insert(name);
    const auto lines = Lines(ReadWholeFile(out + name));
    int id = -1;
    for (const auto& line : lines)
      if (line.rfind("SUBJECT: m", 0) == 0) id = std::stoi(line.substr(10));
    if (id < 0) {
      check.problems.push_back(name + ": no subject");
      continue;
    }
    ++check.ready[id];
    bool attached = false;
    for (const auto& line : lines) {
      if (line.size() < 4 || line.compare(0, 2, "<<") != 0) continue;
      const auto colon = line.find(':');
      const std::string stored = colon == std::string::npos
                                     ? line.substr(2, line.size() - 4)
                                     : line.substr(colon + 1, line.size() - colon - 3);
      named.insert(stored);
      const std::string content = ReadWholeFile(out + stored);
      if (colon == std::string::npos) {
        if (content != "body " + std::to_string(id))
          check.problems.push_back(name + ": message text " + stored + " is not whole");
      } else {
        attached = true;
        if (content != AttachmentBytes(id, attachmentSize))
          check.problems.push_back(name + ": attachment " + stored + " has " +
                                   std::to_string(content.size()) + " bytes");
      }
    }
    if (!attached) check.problems.push_back(name + ": no attachment");
  }
  for (const auto& entry : entries)
    if (!named.contains(entry.name)) check.leftovers.push_back(entry.name);
  std::sort(check.leftovers.begin(), check.leftovers.end());
  return check;
}

void TakeEnvelope(const std::string& out, const std::string& envelopeName) {
  for (const auto& line : Lines(ReadWholeFile(out + envelopeName))) {
    if (line.size() < 4 || line.compare(0, 2, "<<") != 0) continue;
    const auto colon = line.find(':');
    platform::DeleteFile(out + (colon == std::string::npos
                                    ? line.substr(2, line.size() - 4)
                                    : line.substr(colon + 1, line.size() - colon - 3)));
  }
  platform::DeleteFile(out + envelopeName);
}

}  // namespace faxmail::test
