#include "platform/digest.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

namespace faxmail::platform {

// One algorithm provider and one hash object over a buffer of the size the provider asks for.
struct Digest::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  std::vector<unsigned char> object;
  ~State() {
    if (hash) BCryptDestroyHash(hash);
    if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

Digest::Digest(DigestAlgorithm algorithm) : m_algorithm(algorithm) {
  auto state = std::make_unique<State>();
  const wchar_t* id =
      algorithm == DigestAlgorithm::Md5 ? BCRYPT_MD5_ALGORITHM : BCRYPT_SHA256_ALGORITHM;
  if (!Succeeded(BCryptOpenAlgorithmProvider(&state->algorithm, id, nullptr, 0))) return;
  DWORD objectSize = 0;
  ULONG got = 0;
  if (!Succeeded(BCryptGetProperty(state->algorithm, BCRYPT_OBJECT_LENGTH,
                                   reinterpret_cast<PUCHAR>(&objectSize), sizeof objectSize, &got,
                                   0)))
    return;
  state->object.resize(objectSize);
  if (!Succeeded(BCryptCreateHash(state->algorithm, &state->hash, state->object.data(), objectSize,
                                  nullptr, 0, 0)))
    return;
  m_state = std::move(state);
}

Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

void Digest::Update(std::string_view data) {
  // BCryptHashData takes a 32-bit length: a longer piece goes in steps.
  constexpr std::size_t kStep = 1u << 30;
  while (m_state && !data.empty()) {
    const std::size_t n = data.size() < kStep ? data.size() : kStep;
    BCryptHashData(m_state->hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                   static_cast<ULONG>(n), 0);
    data.remove_prefix(n);
  }
}

bool Digest::Final(std::array<unsigned char, kMaxSize>& out) {
  if (!m_state) return false;
  const bool done =
      Succeeded(BCryptFinishHash(m_state->hash, out.data(), static_cast<ULONG>(Size()), 0));
  m_state.reset();
  return done;
}

void WipeMemory(void* data, std::size_t size) noexcept { SecureZeroMemory(data, size); }

}  // namespace faxmail::platform
