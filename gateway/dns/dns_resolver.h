// DNSResolver: finds the mail exchangers of a domain with DNS over TCP, on its own.
//
// Lookup asks the configured server (a dotted IPv4 address) for all records of the domain and,
// while the answer is not authoritative, follows the name-server records of the response to
// further servers, at most 20 steps. The records of the last response that arrived are then
// held, in response order, for GetRecord and FindRecord; the sender takes the MX records
// (type 15) from there in that order.
//
// Two things beyond a plain walk:
//  - A name server named by an NS record is asked at the address of an A record for that name
//    in the same response (glue), else at the address the system resolver gives, since a
//    connection takes only dotted addresses.
//  - Many servers answer a query for all record types with a minimal answer (RFC 8482) or
//    NOTIMP. When the walk ends without an MX record for the domain, the server of the last
//    response is asked once more, for MX records only, and its answer is used when it arrives.
//
// Every query is one TCP connection to port 53 with a 30-second receive time-out, and the
// whole exchange with one server (connect, query, response) has 10 seconds; a whole lookup,
// every server of the walk included, has 30. A server that accepts and never answers, or
// sends its response a byte at a time, so holds the sender no longer than that. Responses
// from the network are decoded with bounds on everything (dns_message.h): a malformed response
// yields the records before the fault. Domains that cannot be asked (empty, over 236
// characters, an empty label or one over 63 characters, a trailing dot) are refused with a log
// entry before anything is sent. Log entries carry the tag "DNS".
//
// One object per delivery attempt, used by one thread; no shared state, no locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/dns/dns_record.h"

namespace faxmail {

class DNSResolver {
 public:
  static constexpr int kLookupBudget = 20;
  static constexpr std::uint16_t kDnsPort = 53;
  static constexpr std::uint32_t kReceiveTimeoutMs = 30000;
  // One exchange with one server, to the last byte of its response: far more than any server
  // that answers at all needs, and what a server that never answers costs each delivery.
  static constexpr std::chrono::milliseconds kQueryDeadline{10000};
  // A whole lookup: a walk along name servers that all fail slowly ends here.
  static constexpr std::chrono::milliseconds kLookupDeadline{30000};

  // Results of LookupAuthoritative: 0 authoritative answer reached; 2 a non-authoritative
  // answer named no (further) name server to ask; 10 the first query failed; 10 + steps when
  // the budget ran out.
  static constexpr int kLookupNoNameServer = 2;
  static constexpr int kLookupFailed = 10;
  // Results of Query.
  static constexpr int kQueryConnectFailed = 1;
  static constexpr int kQueryNoResponse = 2;
  static constexpr int kQueryBadDomain = 3;

  DNSResolver() = default;

  int Lookup(std::string_view server, std::string_view domain);
  int LookupAuthoritative(std::string_view server, std::string_view domain, int budget);
  // The same walk for a host's own address (a relay host's name): when the answer holds no A
  // record for name, the server of the last response is asked once for A records only. The
  // results are Lookup's; the records are held as after Lookup.
  int LookupAddress(std::string_view server, std::string_view name);
  // One exchange with one server for all record types: 0 response held and parsed; 1 the
  // server could not be connected; 2 no response length arrived; 3 the domain cannot be asked
  // (nothing sent). On 1 to 3 the records held before stay.
  int Query(std::string_view server, std::string_view domain);
  // Rebuilds the record list from the held response.
  void ParseResponse();

  // ANCOUNT + NSCOUNT + ARCOUNT of the held response (0 when none is held).
  int RecordCount() const;
  int AnswerCount() const;
  int AuthorityCount() const;
  int AdditionalCount() const;
  bool IsAuthoritative() const noexcept { return m_authoritative; }
  // The record at index (0-based); false when index is negative or not below RecordCount. A
  // record past a malformed one in the response is empty (all fields zero).
  bool GetRecord(int index, DNSRecord& out) const;
  // The n-th (0-based) record of type in response order; false when there is none.
  bool FindRecord(int n, int type, DNSRecord& out) const;

  // Short and long names of the record types 0 to 16; null for any other code.
  static const char* TypeName(int code);
  static const char* TypeDescription(int code);

  // What Query does with a message that arrived: holds it, takes the AA bit and parses it,
  // the first record at queryLength. For tests, and for anything that has a response.
  void TakeResponse(std::span<const std::uint8_t> message, int queryLength);
  const std::vector<std::uint8_t>& Response() const noexcept { return m_response; }
  int QueryLength() const noexcept { return m_queryLength; }

  // Tests only: the port asked and the receive time-out (53 and 30 s otherwise).
  void SetServerPort(std::uint16_t port) noexcept { m_port = port; }
  void SetReceiveTimeout(std::uint32_t milliseconds) noexcept { m_receiveTimeout = milliseconds; }
  // Tests only: the deadlines of one exchange and of a lookup.
  void SetDeadlines(std::chrono::milliseconds query, std::chrono::milliseconds lookup) noexcept {
    m_queryDeadline = query;
    m_lookupDeadline = lookup;
  }

 private:
  // The referral walk of LookupAuthoritative, within the lookup's deadline.
  int LookupWanting(std::string_view server, std::string_view domain, int budget, int wanted);
  int Walk(std::string_view server, std::string_view domain, int budget, int wanted);
  int QueryType(std::string_view server, std::string_view domain, int qtype);
  // The dotted address of a name server named by an NS record, from glue or the system.
  bool NameServerAddress(const std::string& name, std::string& address) const;
  bool HasRecordFor(std::string_view domain, int type) const;

  std::vector<std::uint8_t> m_response;
  std::vector<DNSRecord> m_records;
  int m_queryLength = 0;
  bool m_authoritative = false;
  std::uint16_t m_port = kDnsPort;
  std::uint32_t m_receiveTimeout = kReceiveTimeoutMs;
  std::chrono::milliseconds m_queryDeadline = kQueryDeadline;
  std::chrono::milliseconds m_lookupDeadline = kLookupDeadline;
  // The end of the lookup in progress; no bound outside one.
  std::chrono::steady_clock::time_point m_lookupEnd = std::chrono::steady_clock::time_point::max();
};

}  // namespace faxmail
