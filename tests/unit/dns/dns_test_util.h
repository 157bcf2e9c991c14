// Helpers of the resolver tests: DNS messages built byte by byte, and a scripted DNS-over-TCP
// server that records every query it is sent and answers as the test says.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/win_error.h"

namespace faxmail::test {

using Bytes = std::vector<std::uint8_t>;

// A message under construction.
struct Wire {
  Bytes bytes;

  std::size_t Size() const { return bytes.size(); }
  Wire& U8(unsigned value) {
    bytes.push_back(static_cast<std::uint8_t>(value));
    return *this;
  }
  Wire& U16(unsigned value) { return U8((value >> 8) & 0xFF).U8(value & 0xFF); }
  Wire& U32(std::uint32_t value) { return U16(value >> 16).U16(value & 0xFFFF); }
  Wire& Raw(const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return *this;
  }
  Wire& Text(std::string_view text) {
    for (const char c : text) U8(static_cast<unsigned char>(c));
    return *this;
  }
  // Labels of a dotted name without the closing zero (so a pointer may follow).
  Wire& Labels(std::string_view name) {
    std::size_t start = 0;
    while (start < name.size()) {
      std::size_t dot = name.find('.', start);
      if (dot == std::string_view::npos) dot = name.size();
      U8(static_cast<unsigned>(dot - start)).Text(name.substr(start, dot - start));
      start = dot + 1;
    }
    return *this;
  }
  Wire& Name(std::string_view name) { return Labels(name).U8(0); }
  Wire& Pointer(std::size_t offset) { return U16(0xC000u | static_cast<unsigned>(offset)); }
  Wire& CharString(std::string_view text) {
    return U8(static_cast<unsigned>(text.size())).Text(text);
  }
  // Header: ID 0x86 0x39, the two flag bytes, QDCOUNT 1 and the three counts.
  Wire& Header(unsigned flags, unsigned an, unsigned ns, unsigned ar) {
    return U8(0x86).U8(0x39).U16(flags).U16(1).U16(an).U16(ns).U16(ar);
  }
  Wire& Question(std::string_view name, unsigned qtype = 255) {
    return Name(name).U16(qtype).U16(1);
  }
  // The fixed fields and RDATA of a record whose owner name was just written.
  Wire& Record(unsigned type, std::uint32_t ttl, const Bytes& rdata) {
    return U16(type).U16(1).U32(ttl).U16(static_cast<unsigned>(rdata.size())).Raw(rdata);
  }
};

// Flag bytes of a response: QR, RD and, when asked, AA; RCODE in the low bits.
inline unsigned ResponseFlags(bool authoritative, unsigned rcode = 0) {
  return 0x8100u | (authoritative ? 0x0400u : 0u) | rcode;
}

inline Bytes WithPrefix(const Bytes& message) {
  Bytes out = {static_cast<std::uint8_t>(message.size() >> 8),
               static_cast<std::uint8_t>(message.size() & 0xFF)};
  out.insert(out.end(), message.begin(), message.end());
  return out;
}

inline Bytes Ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return {a, b, c, d};
}

// What the scripted server does with one query.
struct Reply {
  std::vector<Bytes> pieces;            // sent one after the other, a short pause between them
  bool silent = false;                  // send nothing and wait for the client to go
  std::chrono::milliseconds pause{20};  // between two pieces
};
// The response one byte at a time, pause between two bytes.
inline Reply Dribble(const Bytes& message, std::chrono::milliseconds pause) {
  Reply reply;
  for (const std::uint8_t byte : WithPrefix(message)) reply.pieces.push_back({byte});
  reply.pause = pause;
  return reply;
}
inline Reply Answer(const Bytes& message) { return Reply{{WithPrefix(message)}, false}; }

// A DNS server over TCP on address:port (host order; port 0 picks a free one) that answers
// each query (the message without its length prefix) with what script returns.
class ScriptedDnsServer {
 public:
  using Script = std::function<Reply(const Bytes& query)>;

  ScriptedDnsServer(std::uint32_t address, std::uint16_t port, Script script)
      : m_script(std::move(script)) {
    // A fixed address (port 53) may still hold connections of an earlier run in TIME_WAIT.
    m_ok = platform::Socket::Create(0, m_listening) == 0 && m_listening.SetReuseAddress() == 0 &&
           m_listening.Bind(platform::MakeAddress(port, address)) == 0 &&
           m_listening.Listen(8) == 0;
    platform::SocketAddress bound;
    if (m_ok && m_listening.LocalAddress(bound) == 0) m_port = platform::NetToHost16(bound.port);
    if (m_ok) m_thread = std::thread([this] { Serve(); });
  }
  ~ScriptedDnsServer() {
    m_stop = true;
    m_listening.Shutdown();
    if (m_thread.joinable()) m_thread.join();
  }
  bool Ok() const { return m_ok; }
  std::uint16_t Port() const { return m_port; }
  // Every query as it arrived, length prefix included.
  std::vector<Bytes> Received() const {
    std::lock_guard lock(m_mutex);
    return m_received;
  }
  int Connections() const { return m_connections.load(); }

 private:
  void Serve() {
    while (!m_stop) {
      platform::Socket client;
      platform::SocketAddress peer;
      if (m_listening.Accept(client, peer) != 0) return;
      ++m_connections;
      client.SetReceiveTimeout(5000);
      Bytes raw;
      std::uint8_t block[512];
      std::size_t want = 2;
      while (raw.size() < want) {
        const long n = client.Recv(block, sizeof block);
        if (n <= 0) break;
        raw.insert(raw.end(), block, block + n);
        if (raw.size() >= 2) want = 2 + ((std::size_t{raw[0]} << 8) | raw[1]);
      }
      {
        std::lock_guard lock(m_mutex);
        m_received.push_back(raw);
      }
      if (raw.size() < want) continue;
      const Reply reply = m_script(Bytes(raw.begin() + 2, raw.end()));
      if (reply.silent) {
        // However long the client waits: until it goes, or the server does.
        client.SetReceiveTimeout(50);
        while (!m_stop && (client.Recv(block, sizeof block) > 0 ||
                           platform::LastError() == platform::kWsaETimedOut)) {
        }
        continue;
      }
      for (std::size_t i = 0; i < reply.pieces.size() && !m_stop; ++i) {
        if (i) std::this_thread::sleep_for(reply.pause);
        if (client.Send(reply.pieces[i].data(), reply.pieces[i].size()) < 0) break;
      }
      client.Shutdown();
    }
  }

  Script m_script;
  platform::Socket m_listening;
  bool m_ok = false;
  std::uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_connections{0};
  mutable std::mutex m_mutex;
  std::vector<Bytes> m_received;
  std::thread m_thread;
};

// The QTYPE of a query message (without prefix) for a name that ends at its closing zero.
inline unsigned QueryType(const Bytes& query) {
  if (query.size() < 4) return 0;
  return (unsigned{query[query.size() - 4]} << 8) | query[query.size() - 3];
}

}  // namespace faxmail::test
