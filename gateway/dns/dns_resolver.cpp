#include "gateway/dns/dns_resolver.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>

#include "gateway/dns/dns_message.h"
#include "gateway/net/client.h"
#include "gateway/service/log.h"
#include "platform/socket.h"
#include "platform/win_error.h"

namespace faxmail {

namespace {

constexpr char kTag[] = "DNS";
// The lines administrators know these entries by, whatever the layout of this file.
constexpr int kLookupLine = 84;
constexpr int kConnectErrorLine = 146;
constexpr int kReceiveErrorLine = 163;

// The response is read in receives of at most this many bytes.
constexpr int kReceiveChunk = 100;
// Longest text of a name that goes into a log entry.
constexpr std::size_t kLoggedNameLimit = 255;

constexpr const char* kTypeNames[] = {"",    "A",     "NS",    "MD", "MF",   "CName",
                                      "SOA", "MB",    "MG",    "MR", "NULL", "WKS",
                                      "PTR", "HINFO", "MINFO", "MX", "TXT"};
constexpr const char* kTypeDescriptions[] = {"",
                                             "Host Address",
                                             "Authoritative Name Server",
                                             "Mail Destination",
                                             "Mail Forwarder",
                                             "Canonical Name",
                                             "Start Of Zone Of Authority",
                                             "Mailbox Domain",
                                             "Mail Group Member",
                                             "Mail Rename Domain",
                                             "NULL",
                                             "WKS",
                                             "Domain Name Pointer",
                                             "Host Information",
                                             "Mail List Information",
                                             "Mail Exchange",
                                             "Text Strings"};
constexpr int kTypeCount = static_cast<int>(std::size(kTypeNames));
static_assert(std::size(kTypeDescriptions) == std::size(kTypeNames));

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Cut(std::string_view text) { return std::string(text.substr(0, kLoggedNameLimit)); }

}  // namespace

int DNSResolver::Lookup(std::string_view server, std::string_view domain) {
  return LookupAuthoritative(server, domain, kLookupBudget);
}

int DNSResolver::LookupAuthoritative(std::string_view server, std::string_view domain, int budget) {
  return LookupWanting(server, domain, budget, dns::kTypeMX);
}

int DNSResolver::LookupAddress(std::string_view server, std::string_view name) {
  return LookupWanting(server, name, kLookupBudget, dns::kTypeA);
}

int DNSResolver::LookupWanting(std::string_view server, std::string_view domain, int budget,
                               int wanted) {
  m_lookupEnd = std::chrono::steady_clock::now() + m_lookupDeadline;
  const int result = Walk(server, domain, budget, wanted);
  m_lookupEnd = std::chrono::steady_clock::time_point::max();
  return result;
}

int DNSResolver::Walk(std::string_view server, std::string_view domain, int budget, int wanted) {
  if (Query(server, domain) != 0) return kLookupFailed;
  // The server whose response is held.
  std::string current(server);
  int steps = 0;
  int result = 0;
  bool done = false;
  while (!done) {
    if (budget <= 0) {
      result = kLookupFailed + steps;
      break;
    }
    ++steps;
    --budget;
    if (m_authoritative) {
      result = 0;
      break;
    }
    for (int i = 0;; ++i) {
      DNSRecord nameServer;
      if (!FindRecord(i, dns::kTypeNS, nameServer)) {
        result = kLookupNoNameServer;
        done = true;
        break;
      }
      ++steps;
      --budget;
      std::string address;
      if (NameServerAddress(nameServer.text1, address) && Query(address, domain) == 0) {
        current = address;
        break;  // a new response: the next pass
      }
      if (budget <= 0) {
        result = kLookupFailed + steps;
        done = true;
        break;
      }
    }
  }

  if (wanted == dns::kTypeMX && !HasRecordFor(domain, wanted)) {
    LogMessage("DNS- Lookup: no MX record in the answer, asking for MX records: " + Cut(domain),
               kTag, __LINE__);
    if (QueryType(current, domain, dns::kTypeMX) == 0 && m_authoritative) result = 0;
  } else if (wanted != dns::kTypeMX && !HasRecordFor(domain, wanted)) {
    LogMessage("DNS- Lookup: no record of type " + std::to_string(wanted) +
                   " in the answer, asking for it: " + Cut(domain),
               kTag, __LINE__);
    if (QueryType(current, domain, wanted) == 0 && m_authoritative) result = 0;
  }
  return result;
}

int DNSResolver::Query(std::string_view server, std::string_view domain) {
  return QueryType(server, domain, dns::kTypeAny);
}

int DNSResolver::QueryType(std::string_view server, std::string_view domain, int qtype) {
  LogMessage("DNS- Lookup NameServer, Domain: " + Cut(server) + ", " + Cut(domain), kTag,
             kLookupLine);
  const std::vector<std::uint8_t> query = dns::BuildQuery(domain, qtype);
  if (query.empty()) {
    LogMessage("DNS- Error: Lookup: Domain cannot be asked: " + Cut(domain), kTag, __LINE__);
    return kQueryBadDomain;
  }
  m_queryLength = static_cast<int>(query.size() - 2);
  m_authoritative = false;

  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = std::min(Clock::now() + m_queryDeadline, m_lookupEnd);
  // Milliseconds left of the exchange, 0 when it is over.
  const auto left = [end]() -> std::uint32_t {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    return ms <= 0 ? 0u : static_cast<std::uint32_t>(std::min<long long>(ms, UINT32_MAX));
  };
  C_WSClient connection;
  const std::string serverText(server);
  if (left() == 0 || connection.Connect(m_port, serverText.c_str(), left()) != 0) {
    if (left() == 0) platform::SetLastError(platform::kWsaETimedOut);
    LogMessage("DNS- Error: Lookup: Unable to connect to DNS .", kTag, kConnectErrorLine);
    LogSocketError();
    return kQueryConnectFailed;
  }
  // Every receive waits no longer than the exchange has left; false when nothing is left.
  const auto bound = [&]() {
    const std::uint32_t ms = left();
    if (ms == 0) {
      platform::SetLastError(platform::kWsaETimedOut);
      return false;
    }
    connection.SetReceiveTimeout(m_receiveTimeout == 0 ? ms : std::min(ms, m_receiveTimeout));
    return true;
  };
  connection.SendBytes(reinterpret_cast<const char*>(query.data()), static_cast<int>(query.size()));

  // The two bytes of the length prefix, even when they arrive apart.
  std::uint8_t prefix[2];
  int got = 0;
  while (got < 2 && bound()) {
    const int n = connection.ReceiveBytes(reinterpret_cast<char*>(prefix) + got, 2 - got);
    if (n <= 0) break;
    got += n;
  }
  if (got < 2) {
    LogMessage("DNS- Error: Lookup: Unable to receive from DNS .", kTag, kReceiveErrorLine);
    LogSocketError();
    connection.Close();
    return kQueryNoResponse;
  }
  const std::size_t length = (std::size_t{prefix[0]} << 8) | prefix[1];

  std::vector<std::uint8_t> response(length);
  std::size_t received = 0;
  const auto cutAtDeadline = [&]() {
    LogMessage("DNS- Error: Lookup: Response incomplete at the deadline: " + Cut(server), kTag,
               __LINE__);
  };
  while (received < length) {
    if (!bound()) {
      cutAtDeadline();
      break;
    }
    const int chunk = static_cast<int>(std::min<std::size_t>(kReceiveChunk, length - received));
    const int n =
        connection.ReceiveBytes(reinterpret_cast<char*>(response.data() + received), chunk);
    if (n <= 0) {
      // A receive bounded by what was left of the exchange ends with it: the deadline, not
      // the peer, cut the answer short.
      if (left() == 0) cutAtDeadline();
      break;
    }
    received += static_cast<std::size_t>(n);
  }
  // A response cut short is kept as far as it arrived; the parse keeps within it.
  response.resize(received);
  connection.Close();

  TakeResponse(response, m_queryLength);
  return 0;
}

void DNSResolver::TakeResponse(std::span<const std::uint8_t> message, int queryLength) {
  m_response.assign(message.begin(), message.end());
  m_queryLength = queryLength;
  // AA is bit 0x04 of the third byte.
  m_authoritative = m_response.size() > 2 && (m_response[2] & 0x04) != 0;
  ParseResponse();
}

void DNSResolver::ParseResponse() {
  m_records.clear();
  const int count = RecordCount();
  if (count == 0 || m_queryLength < 0) return;
  m_records.reserve(static_cast<std::size_t>(std::min(count, 64)));
  dns::ParseRecords(m_response, static_cast<std::size_t>(m_queryLength), count, m_records);
}

int DNSResolver::RecordCount() const { return dns::ReadSectionCounts(m_response).Total(); }
int DNSResolver::AnswerCount() const { return dns::ReadSectionCounts(m_response).answers; }
int DNSResolver::AuthorityCount() const { return dns::ReadSectionCounts(m_response).authority; }
int DNSResolver::AdditionalCount() const { return dns::ReadSectionCounts(m_response).additional; }

bool DNSResolver::GetRecord(int index, DNSRecord& out) const {
  if (index < 0 || index >= RecordCount()) return false;
  // Records past a malformed one were never filled: they read as empty.
  out = static_cast<std::size_t>(index) < m_records.size()
            ? m_records[static_cast<std::size_t>(index)]
            : DNSRecord();
  return true;
}

bool DNSResolver::FindRecord(int n, int type, DNSRecord& out) const {
  const int count = RecordCount();
  if (n < 0 || n >= count) return false;
  int seen = 0;
  for (const DNSRecord& record : m_records) {
    if (record.type != type) continue;
    if (seen++ == n) {
      out = record;
      return true;
    }
  }
  // The empty records past a malformed one have type 0.
  if (type == 0 && n - seen < count - static_cast<int>(m_records.size())) {
    out = DNSRecord();
    return true;
  }
  return false;
}

const char* DNSResolver::TypeName(int code) {
  return code >= 0 && code < kTypeCount ? kTypeNames[code] : nullptr;
}

const char* DNSResolver::TypeDescription(int code) {
  return code >= 0 && code < kTypeCount ? kTypeDescriptions[code] : nullptr;
}

bool DNSResolver::NameServerAddress(const std::string& name, std::string& address) const {
  for (const DNSRecord& record : m_records) {
    if (record.type == dns::kTypeA && !record.text1.empty() && SameName(record.ownerName, name)) {
      address = record.text1;
      return true;
    }
  }
  std::uint32_t resolved = 0;
  if (!name.empty() && platform::ResolveHostIPv4(name, resolved) == 0) {
    address = platform::InetNtoa(resolved);
    return true;
  }
  LogMessage("DNS- Error: Lookup: Unable to resolve name server: " + Cut(name), kTag, __LINE__);
  return false;
}

bool DNSResolver::HasRecordFor(std::string_view domain, int type) const {
  return std::any_of(m_records.begin(), m_records.end(), [&](const DNSRecord& record) {
    return record.type == type && SameName(record.ownerName, domain);
  });
}

}  // namespace faxmail
