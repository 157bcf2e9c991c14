// What OK does on each page of the sheet: compare the page's values with the record, save them
// while the gateway service is stopped (asking to stop and restart it when it runs), prepare
// the data directory, and report the change to the event log.
//
// A save writes value by value into the gateway's key; the first write that fails ends it and
// the save counts as failed. A refused data directory writes nothing at all. Runs on the
// caller's thread and blocks it while the service stops and starts (up to 100 s per wait).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "applet/messages.h"
#include "applet/registry_settings.h"

namespace faxmail::applet {

// The event reported after every save, under the gateway's own event source.
inline constexpr std::uint32_t kEventSettingsChanged = 436;
inline constexpr char kEventSourceName[] = "Corvane SMTP Server";

// The values of the "General" page.
struct GeneralValues {
  std::string domainName;
  std::string programPath;
  std::string dnsServer;  // dotted text; kBlankAddress for none
  std::uint32_t rxPort = 0;
  std::uint32_t txPort = 0;
  std::string mailFrom;
  bool operator==(const GeneralValues&) const = default;
};
GeneralValues GeneralFromRecord(const CSMTPRegistrySettings& record);

// The values of the "Advanced" page (the advanced flag itself is never written).
struct AdvancedValues {
  std::uint32_t notifyOnSuccess = 1;
  std::uint32_t notifyOnFailure = 1;
  std::uint32_t subjectLine = 0;
  std::uint32_t includeTiff = 1;
  bool operator==(const AdvancedValues&) const = default;
};
AdvancedValues AdvancedFromRecord(const CSMTPRegistrySettings& record);

// The page that presses OK: its boxes are owned by its window, and it shows the wait cursor
// while the service is stopped and started.
class PageContext : public Prompter {
 public:
  virtual void SetBusy(bool busy) = 0;
};

enum class SaveResult {
  Saved,
  Failed,   // told with message 4 by the caller
  Refused,  // the data directory was refused (message 6 told already); nothing written
};

// Checks that the text names a folder that exists and may be entered, gives it its trailing
// separator and creates its OUT and IN folders. Nothing (after message 6) when refused.
std::optional<std::string> PrepareDataDirectory(PageContext& page, const std::string& text);

// Writes the page's values; values.programPath becomes the prepared data directory.
SaveResult SaveGeneral(PageContext& page, GeneralValues& values);
SaveResult SaveAdvanced(PageContext& page, const AdvancedValues& values);

// OK on a page whose values differ from the record: saves at once while the service is
// stopped; else asks (message 5), stops the service with its dependents, saves, and starts
// them again, also after a failed save, so that the gateway is not left down.
void SaveWithServiceStopped(PageContext& page, const std::function<SaveResult()>& save);

// OK on "General" and on "Advanced": nothing happens when the values equal the record.
void OkGeneral(PageContext& page, GeneralValues& values, const CSMTPRegistrySettings& record);
void OkAdvanced(PageContext& page, const AdvancedValues& values,
                const CSMTPRegistrySettings& record);

}  // namespace faxmail::applet
