#include "common/base64.h"

#include <array>
#include <cstdint>

namespace faxmail {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of each byte as a base64 character, or kNotBase64.
constexpr std::uint8_t kNotBase64 = 0xff;
constexpr std::array<std::uint8_t, 256> MakeValues() {
  std::array<std::uint8_t, 256> values{};
  for (auto& value : values) value = kNotBase64;
  for (std::uint8_t i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = i;
  return values;
}
constexpr auto kValues = MakeValues();

}  // namespace

void AppendBase64(std::string& out, std::string_view bytes) {
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const unsigned v = (unsigned{in[i]} << 16) | (unsigned{in[i + 1]} << 8) | in[i + 2];
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  if (size - i == 2) {
    const unsigned v = (unsigned{in[i]} << 16) | (unsigned{in[i + 1]} << 8);
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back('=');
  } else if (size - i == 1) {
    const unsigned v = unsigned{in[i]} << 16;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.append("==");
  }
}

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  AppendBase64(out, bytes);
  return out;
}

std::optional<std::string> Base64DecodeStrict(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    // Padding stands only in the last group's last places; there it counts as zero bits.
    const bool last = i + 4 == text.size();
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const char c = text[i + j];
      std::uint8_t value = kValues[static_cast<unsigned char>(c)];
      if (value == kNotBase64) {
        if (c != '=' || !last || j < 4 - padding) return std::nullopt;
        value = 0;
      }
      group = group << 6 | value;
    }
    out.push_back(static_cast<char>(group >> 16 & 0xff));
    out.push_back(static_cast<char>(group >> 8 & 0xff));
    out.push_back(static_cast<char>(group & 0xff));
  }
  out.resize(out.size() - padding);
  return out;
}

}  // namespace faxmail
