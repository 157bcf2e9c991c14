// Test mail whose every byte can be checked in the fax server's files, and the check of OUT:
// mail "m<id>" carries the text "body <id>" (its last line end belongs to the delimiter) and one
// binary attachment "f<id>.bin" whose bytes follow from id and size alone, so a ready envelope
// proves itself whole or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace faxmail::test {

std::string AttachmentBytes(int id, std::size_t size);
// The message data (headers and body, CR LF lines, no end line) of mail id.
std::string MailWithAttachment(int id, std::size_t attachmentSize);

// One transaction on a new connection: the reply to the end of the data ("250 Mail Received
// OK\r\n", "452 ..."), empty when the connection failed or broke first. dataSent: whether the
// message data went out (a mail cut off before it can simply be sent again).
std::string SendMail(std::uint16_t port, const std::string& data, int timeoutMs = 30000,
                     bool* dataSent = nullptr);

struct SpoolCheck {
  std::map<int, int> ready;            // id -> ready envelopes seen for it
  std::vector<std::string> problems;   // an envelope naming a short or missing file, ...
  std::vector<std::string> leftovers;  // files that are neither ready envelopes nor named by one
};
// Reads every ready envelope in out (a folder path ending with '/') and checks the files it
// names against the mail it came from (attachments of attachmentSize bytes).
SpoolCheck CheckSpool(const std::string& out, std::size_t attachmentSize);
// What the fax server does with a ready envelope: takes it and its files away.
void TakeEnvelope(const std::string& out, const std::string& envelopeName);

}  // namespace faxmail::test
