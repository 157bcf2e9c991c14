// Recipient and header extraction: the FROM, TO and SUBJECT lines of the envelope.
//
// While a header block is scanned, From and Subject values are collected and every To and Cc
// address is matched against the SMTP envelope recipients (the RCPT texts of the session,
// "TO:<address>"): an address named there is a fax recipient of this gateway. Without usable
// envelope recipients an address whose local part is made of digits ('+' and '-' aside) is
// taken; with the address-check override (passed in by the caller) every address is. At the
// end of a block that yielded a sender or a recipient, its lines are appended to the envelope
// file.
//
// Whatever a mail puts into these values can never add, end or split an envelope line:
// control characters are taken out of every value, after encoded words are decoded.
//
// Log lines go to the main channel under "DECODE". Runs inside the receiver's work lock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/decode/mime_headers.h"

namespace faxmail::decode {

using EnvelopeList = std::vector<std::string>;

std::string ExtractEmailAddress(std::string_view text);
std::string LocalPart(std::string_view text);
bool IsFaxNumber(std::string_view text);
// "\"name\" <address>" with name, "<address>" without.
std::string FormatRecipient(std::string_view text, bool withName);
// One line of a header value: TAB continuations are joined without a blank, space
// continuations keep their blank; the value ends at the first LF followed by anything else.
std::string UnfoldValue(std::string_view text);
// Decodes the first RFC 2047 encoded word ("=?charset?Q?...?=" or "?B?") in place.
void DecodeEncodedWord(std::string& text);
// Encoded words of one subject that are decoded; later ones stay as they are. Far more than
// any subject holds, and it bounds the decoder's work.
inline constexpr std::size_t kMaxEncodedWords = 100;
// Decodes every encoded word of a subject in place (up to a bound; later ones stay as they
// are). White space between two adjacent encoded words is dropped, white space between an
// encoded word and other text stays; a malformed word is left as it is. The charset is not
// interpreted: the decoded bytes are used as they are.
void DecodeEncodedWords(std::string& text);
// Removes control characters (a TAB becomes a blank), so a value stays one line.
std::string StripControls(std::string_view text);

// Address pieces of one message's To and Cc values that are matched against the envelope; the
// rest are not looked at, so that no address list holds the work lock for long (every piece is
// compared with every envelope recipient). Far more than a mail to real people carries.
inline constexpr std::size_t kMaxAddressPieces = 1000;
// Log lines of one message's recipient matching (four for every piece and envelope recipient
// compared); the rest are counted and told in one line. Enough to follow any ordinary mail.
inline constexpr std::size_t kMaxMatchLogLines = 2000;

// What is left of one message's recipient matching: address pieces and log lines. When it is
// destroyed it logs, once, how many of each were left out.
class MatchBudget {
 public:
  MatchBudget() = default;
  ~MatchBudget();
  MatchBudget(const MatchBudget&) = delete;
  MatchBudget& operator=(const MatchBudget&) = delete;

  // Whether one more log line may be written; one that may not is counted.
  bool Line();
  // Whether count more address pieces may be matched: the number that may.
  std::size_t Pieces(std::size_t count);
  std::size_t LinesLeftOut() const noexcept { return m_linesLeftOut; }
  std::size_t PiecesLeftOut() const noexcept { return m_piecesLeftOut; }

 private:
  std::size_t m_lines = 0;
  std::size_t m_linesLeftOut = 0;
  std::size_t m_pieces = 0;
  std::size_t m_piecesLeftOut = 0;
};

// The candidate when it is a recipient of this gateway, else the empty text. Its log lines
// are counted against budget when one is given. overrideAddressCheck: every candidate is one.
std::string GetDetailsEx(const EnvelopeList& envelope, std::string_view candidate,
                         MatchBudget* budget = nullptr, bool overrideAddressCheck = false);
// Splits a To or Cc value at every ',' and adds the accepted recipients, formatted with name;
// with a budget, only the pieces it allows are matched. Group syntax ("name: a@b, c@d;") gives
// the group's members (none for an empty group), a source route ("<@relay:a@b>") its final
// address. overrideAddressCheck: every address is accepted.
void ExtractRecipients(std::string_view value, const EnvelopeList& envelope,
                       std::vector<std::string>& recipients, MatchBudget* budget = nullptr,
                       bool overrideAddressCheck = false);

// The envelope lines of one header block ("FROM: ", "TO: " sorted without exact duplicates,
// "SUBJECT: "), LF-terminated, after encoded words are decoded and controls removed.
std::string FormatEnvelopeLines(std::string sender, std::vector<std::string> recipients,
                                std::string subject);

// The header scan of one message's blocks: fed by the parser's HeaderSeen calls, in block
// order. The matching of all its blocks shares one MatchBudget. A To or Cc value never runs
// past its own field: the next line that does not start with a blank or TAB ends it, also
// when the value waits for a later header because its first line holds a colon.
// overrideAddressCheck: every To and Cc address is a recipient.
class HeaderScan {
 public:
  explicit HeaderScan(const EnvelopeList& envelope, bool overrideAddressCheck = false)
      : m_envelope(envelope), m_overrideAddressCheck(overrideAddressCheck) {}

  void Begin();
  void Seen(HeaderKind kind, std::string_view block, std::size_t lineStart, std::size_t valueStart);
  // Finishes a value still pending; true when the block yielded a sender or a recipient.
  bool End(std::string_view block);

  const std::string& Sender() const noexcept { return m_sender; }
  const std::string& Subject() const noexcept { return m_subject; }
  const std::vector<std::string>& Recipients() const noexcept { return m_recipients; }

 private:
  struct Pending {
    bool set = false;
    std::size_t start = 0;
  };
  void Finish(Pending& pending, std::string_view block, std::size_t end);
  void Address(Pending& pending, std::string_view block, std::size_t valueStart);

  const EnvelopeList& m_envelope;
  bool m_overrideAddressCheck;
  std::string m_sender;
  std::string m_subject;
  std::vector<std::string> m_recipients;
  Pending m_to;
  Pending m_cc;
  MatchBudget m_budget;
};

}  // namespace faxmail::decode
