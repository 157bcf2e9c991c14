// The envelope that the gateway leaves in OUT for the fax server, read back: its FROM, TO and
// SUBJECT groups, the name of its message text file and its attachment list.
//
// ParseEnvelope takes the whole file as read (CR LF or LF line ends) and either fills an
// Envelope or gives a one-line reason for refusing it. It refuses, and never guesses at, an
// envelope that the gateway could not have written: a line over kMaxEnvelopeLine, more
// recipients or attachments than the limits, a header line it does not know, a group without
// its FROM, TO or SUBJECT, a sender without an address, sections out of order or unclosed, and
// any file name that is not a plain name in OUT (a separator, a leading dot as in "..", a
// control character). Pure function; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace faxmail::sim {

// The gateway writes one envelope line per recipient and per attachment; its own address and
// subject texts stay far below this.
inline constexpr std::size_t kMaxEnvelopeLine = 1024;
// Envelopes larger than this are not the gateway's: 100 recipients and 32 attachments of the
// longest lines fit with room to spare.
inline constexpr std::size_t kMaxEnvelopeBytes = 160 * 1024;
// More recipients than a mail host takes for one message (RFC 5321 asks for at least 100).
inline constexpr std::size_t kMaxRecipients = 100;
// More attachments than one fax of kMaxFaxPages could show.
inline constexpr std::size_t kMaxAttachments = 32;
// The gateway's sender takes addresses of at most 199 characters.
inline constexpr std::size_t kMaxAddress = 199;
// Longest file name that the stand-in accepts from an envelope.
inline constexpr std::size_t kMaxStoredName = 64;
// A dialled number has at most 15 digits (E.164) plus a prefix or two.
inline constexpr std::size_t kMaxNumberDigits = 20;

struct Recipient {
  std::string line;      // the TO line's value, as written ("\"5550100\" <5550100@fax.test>")
  std::string address;   // between its last '<' and the next '>'
  std::string number;    // the address's local part, as written
  bool numeric = false;  // the number is digits (with '+' and '-') and not too long
  std::string sender;    // the address of its group's FROM line
  std::string subject;   // its group's SUBJECT text
};

struct Attachment {
  std::string shownName;   // the name in the mail
  std::string storedName;  // the file's name in OUT
};

struct Envelope {
  std::vector<Recipient> recipients;
  std::string bodyName;  // the message text file's name in OUT
  std::vector<Attachment> attachments;
};

// Empty on success; else why the envelope is refused (printable, one line).
std::string ParseEnvelope(std::string_view text, Envelope& out);

// The address in a header-style text: between the last '<' and the next '>', or the whole
// text trimmed when it has no '<'.
std::string ExtractAddress(std::string_view text);
// A name that stands for one file directly in its folder: no separator, no leading dot, only
// printable characters, at most kMaxStoredName long.
bool IsPlainFileName(std::string_view name);
// Digits, with '+' and '-' allowed and ignored; at least one digit, at most kMaxNumberDigits.
bool IsFaxNumber(std::string_view number);
// The number with its '+', '-', blanks and brackets removed, for comparing with a refusal list.
std::string NormalNumber(std::string_view number);

}  // namespace faxmail::sim
