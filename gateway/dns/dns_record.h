// DNSRecord: one resource record of a DNS response, decoded.
//
// Texts are decoded names (labels joined by ".", no trailing dot, the root name empty) or
// character strings, at most kMaxText characters. Which fields a type fills is the resolver's
// per-type table (dns_resolver.h); the others stay zero or empty. The record CLASS is not kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace faxmail {

struct DNSRecord {
  // Longest decoded name or character string.
  static constexpr std::size_t kMaxText = 255;

  std::string ownerName;
  int type = 0;
  std::uint32_t timeToLive = 0;
  std::string text1;
  std::string text2;
  int preference = 0;        // MX only
  std::uint32_t serial = 0;  // SOA numbers
  std::uint32_t refresh = 0;
  std::uint32_t retry = 0;
  std::uint32_t expire = 0;
  std::uint32_t minimum = 0;

  bool operator==(const DNSRecord&) const = default;
};

}  // namespace faxmail
