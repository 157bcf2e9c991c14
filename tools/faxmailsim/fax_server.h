// The fax server stand-in: takes the envelopes that the gateway leaves ready in OUT,
// "transmits" each to its recipients, keeps a record of every transmission and tells the mail
// sender through a notification in IN.
//
// An envelope is taken only under its ready name and only while this process holds it
// without sharing; the message text and attachment files it names are copied the same way.
// One fax image is made per envelope (message text first, then the attachments it can render,
// then a page listing the others) and goes to every recipient: a number that is not numeric or
// is on the refusal list is "rejected", every other one "sent OK". Each recipient gets a
// folder in the sent folder (named ENV-INDEX-NUMBER, with "-2", "-3" ... when taken) holding
// the envelope as taken, message.txt, the attachments, fax.tif and a small result file; and
// the sender gets a notification with the fax image attached. Then the envelope and its files
// are removed from OUT.
//
// An envelope that cannot be read as one the gateway writes is refused and set aside under
// its name with ".Refused" in place of ".tmp"; one whose fax could not be made or recorded is
// set aside with ".Failed". Both stay in OUT with their files for the administrator; nothing
// else is touched. A crash between the first notification and the removal makes the envelope
// be taken again at the next run (its notifications then come twice).
//
// One object per process, one thread.
#pragma once

#include <cstddef>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace faxmail::sim {

// The message text rendered on the first pages: more is cut there.
inline constexpr std::size_t kMaxMessageTextBytes = 1 << 20;

struct FaxServerOptions {
  std::string data;               // the data directory, ending with the separator
  std::string sent;               // the folder of transmission records
  std::set<std::string> refused;  // numbers as NormalNumber gives them
};

enum class Taken { Done, Busy, Failed };

class FaxServer {
 public:
  explicit FaxServer(FaxServerOptions options);

  // Handles every envelope ready in OUT now, in name order; the number that failed (refused or
  // set aside). Envelopes held by another process are left for the next call.
  int HandleReady(std::ostream& report, std::ostream& errors);
  // One envelope, by its ready name in OUT.
  Taken HandleEnvelope(const std::string& name, std::ostream& report, std::ostream& errors);

  const FaxServerOptions& Options() const { return m_options; }

 private:
  FaxServerOptions m_options;
};

// Reads a refusal list: one number a line, '#' starts a comment. Empty on success.
std::string ReadRefusalList(const std::string& path, std::set<std::string>& numbers);

// The notification subjects.
std::string SentSubject(std::string_view number);
std::string RejectedSubject(std::string_view number);

}  // namespace faxmail::sim
