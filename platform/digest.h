// Message digests: MD5 (the Content-MD5 check of received attachments) and SHA-256 (the
// duplicate guard's keys), from the system's cryptographic library; and the wiping of secrets.
//
// Digest is move-only and owns the library's running state; one thread at a time. Update may
// be called any number of times, then Final once. A digest the library cannot set up (out of
// memory, the algorithm missing) reports it through Valid(); Update and Final then do nothing
// and Final gives false.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string_view>

namespace faxmail::platform {

enum class DigestAlgorithm { Md5, Sha256 };

class Digest {
 public:
  // The longest digest of the algorithms above (SHA-256's 32 bytes).
  static constexpr std::size_t kMaxSize = 32;
  static constexpr std::size_t SizeOf(DigestAlgorithm algorithm) noexcept {
    return algorithm == DigestAlgorithm::Md5 ? 16 : 32;
  }

  explicit Digest(DigestAlgorithm algorithm);
  ~Digest();
  Digest(Digest&&) noexcept;
  Digest& operator=(Digest&&) noexcept;
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  bool Valid() const noexcept { return m_state != nullptr; }
  std::size_t Size() const noexcept { return SizeOf(m_algorithm); }
  void Update(std::string_view data);
  // The first Size() bytes of out receive the digest.
  bool Final(std::array<unsigned char, kMaxSize>& out);

  struct State;

 private:
  DigestAlgorithm m_algorithm;
  std::unique_ptr<State> m_state;
};

// Overwrites size bytes at data with zeros in a way the compiler may not leave out (a secret
// about to be let go of).
void WipeMemory(void* data, std::size_t size) noexcept;

}  // namespace faxmail::platform
