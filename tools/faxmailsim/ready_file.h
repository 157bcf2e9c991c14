// A ready file for the gateway's sender, written into IN: a notification to a mail sender or a
// received fax for its addressee, with its attachments.
//
// ReadyFileText gives the file's bytes: the FROM, TO and SUBJECT lines, the body between
// "BEGIN BODY" and "END BODY" with the empty lines around both that the sender needs, and the
// attachment section. Texts that come from outside (a subject, a number) are made safe first:
// control characters become '?', lines are cut below the sender's line buffer, and keywords
// that the sender looks for anywhere in a line ("FROM:", "SUBJECT:") are broken up.
//
// PutReadyFile writes it: every attachment copied under a fresh name of at most 21
// characters, written and synced; then the ready file under a work name (never ".tmp"),
// synced, and renamed to its ready name last, so the sender never sees a half-written file.
// Every file is held without sharing while it is written, as the gateway holds its own. On a
// failure nothing is left behind. One thread at a time per folder and process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace faxmail::sim {

// The sender reads lines of at most 259 bytes; body lines stay well below.
inline constexpr std::size_t kMaxReadyLine = 200;
// An attachment that is copied into IN: a fax image is a few hundred kilobytes.
inline constexpr std::uint64_t kMaxAttachmentBytes = 64ull << 20;

struct ReadyAttachment {
  std::string shownName;   // the name the mail shows ("fax.tif")
  std::string sourcePath;  // the file copied into IN
};

struct ReadyFile {
  std::string from;     // the FROM line's value
  std::string to;       // the recipient's address, written in angle brackets
  std::string subject;  // the SUBJECT line's value
  std::vector<std::string> body;
  std::vector<ReadyAttachment> attachments;
};

// A text from outside made fit for one line of a ready file.
std::string SafeLine(std::string_view text, std::size_t limit = kMaxReadyLine);

// The file's text; storedNames are the attachments' names in IN, one per attachment.
std::string ReadyFileText(const ReadyFile& file, const std::vector<std::string>& storedNames);

// Writes file into the folder inFolder (ending with the separator). readyName receives the
// ready file's name. Empty on success, else what failed.
std::string PutReadyFile(const std::string& inFolder, const ReadyFile& file,
                         std::string& readyName);

}  // namespace faxmail::sim
