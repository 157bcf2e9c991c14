#include "platform/digest.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace faxmail::platform {

struct Digest::State {
  EVP_MD_CTX* ctx = nullptr;
  ~State() { EVP_MD_CTX_free(ctx); }
};

Digest::Digest(DigestAlgorithm algorithm) : m_algorithm(algorithm) {
  auto state = std::make_unique<State>();
  state->ctx = EVP_MD_CTX_new();
  const EVP_MD* md = algorithm == DigestAlgorithm::Md5 ? EVP_md5() : EVP_sha256();
  if (state->ctx && EVP_DigestInit_ex(state->ctx, md, nullptr) == 1) m_state = std::move(state);
}

Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

void Digest::Update(std::string_view data) {
  if (m_state && !data.empty()) EVP_DigestUpdate(m_state->ctx, data.data(), data.size());
}

bool Digest::Final(std::array<unsigned char, kMaxSize>& out) {
  if (!m_state) return false;
  unsigned int length = 0;
  const bool done = EVP_DigestFinal_ex(m_state->ctx, out.data(), &length) == 1 && length == Size();
  m_state.reset();
  return done;
}

void WipeMemory(void* data, std::size_t size) noexcept { OPENSSL_cleanse(data, size); }

}  // namespace faxmail::platform
