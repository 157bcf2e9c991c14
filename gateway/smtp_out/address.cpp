#include "gateway/smtp_out/address.h"

#include "base/text.h"

namespace faxmail {

std::string ExtractAddress(std::string_view text) {
  std::string_view address = text;
  if (const auto open = text.rfind('<'); open != std::string_view::npos) {
    address = text.substr(open + 1);
    if (const auto close = address.find('>'); close != std::string_view::npos)
      address = address.substr(0, close);
  } else if (const auto quote = text.rfind('"'); quote != std::string_view::npos) {
    address = text.substr(quote);
  }
  address = Trim(address, " \t\r\n");
  address = Trim(address, "<");
  address = Trim(address, ">");
  return std::string(address);
}

std::string AddressDomain(std::string_view text) {
  std::string address = ExtractAddress(text);
  const auto at = address.find('@');
  if (at != std::string::npos && at + 1 < address.size()) return address.substr(at + 1);
  return address;
}

}  // namespace faxmail
