// CSMTPRegistrySettings: the gateway's settings as the applet reads them from its key, once per
// sheet. The record is loaded when the sheet opens and not updated by a save: the pages compare
// against it to decide whether anything changed.
//
// Texts are read through a buffer of kSettingTextBuffer bytes, so a text holds at most
// kMaxSettingText bytes; a longer one counts as missing. A value that is missing keeps the
// value construction gives it, and some missing values are told to the administrator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "applet/messages.h"

namespace faxmail::applet {

// The gateway's key under the local machine hive.
inline constexpr char kGatewayKeyPath[] = "SOFTWARE\\Almoran\\Corvane SMTP Server";
// The buffer every setting text passes through, its terminating zero included.
inline constexpr std::uint32_t kSettingTextBuffer = 260;
inline constexpr std::size_t kMaxSettingText = kSettingTextBuffer - 1;
// The gateway takes a domain name or a data directory of at most this many bytes; a longer one
// reads as missing there, so the applet never writes one.
inline constexpr std::size_t kMaxGatewayPathText = 79;
// The DNS server text that stands for "none".
inline constexpr char kBlankAddress[] = "0.0.0.0";

class CSMTPRegistrySettings {
 public:
  virtual ~CSMTPRegistrySettings() = default;

  // Reads the key. False when it cannot be opened (a box says so and nothing is read); a
  // missing value is told (messages 1, 2, 3, 15, 16) and loading goes on. Boxes have no owner.
  bool Load(Prompter& prompter);

  std::string domainName;
  std::string programPath;
  std::string dnsName;
  std::string mailFrom;
  std::uint32_t smtpRxPort = 0;
  std::uint32_t smtpTxPort = 0;
  std::uint32_t advancedOptions = 0;
  std::uint32_t notifyOnSuccess = 1;
  std::uint32_t notifyOnFailure = 1;
  std::uint32_t subjectLine = 0;
  std::uint32_t includeTiff = 1;
};

// The box shown when the key cannot be opened, with the system's words for the error.
void ShowKeyOpenError(Prompter& prompter, long error);

}  // namespace faxmail::applet
