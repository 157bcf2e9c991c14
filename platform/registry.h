// The registry store: the local machine hive kept as one text file.
//
// The hive is $FAXMAIL_ROOT/registry/HKLM.reg in the registry editor's export format
// ("REGEDIT4", "[HKEY_LOCAL_MACHINE\KEY\PATH]" sections, "Name"="text", "Name"=dword:0000001d,
// hex(N): lists, @ for a key's default value, \\ and \" escapes), so administrators may read
// and edit it by hand. Key and value names compare without regard to letter case and keep the
// case they were created with; key paths use backslashes.
//
// Several processes share the hive. Every read takes a shared lock and every change an
// exclusive lock (flock on HKLM.reg.lock beside the hive); a change is written whole to a
// temporary file, synced and renamed over the hive, so a reader sees either the old or the new
// hive and every change committed before it. A hive that does not parse is reported with
// kErrorBadDb, never taken as empty. A missing hive file is an empty hive.
//
// Values keep their exact bytes and type. The query has the system's size rules: a value longer
// than the caller's buffer is kErrorMoreData with the size needed; a text written with its
// terminating zero counts that zero. All functions may be called from any thread; a RegKey
// is a plain name and may be shared read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace faxmail::platform {

inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

enum class Hive { LocalMachine };

// An open key: the hive and the key's path. Opening checks that the key exists; operations on
// a key deleted since give kErrorKeyDeleted.
class RegKey {
 public:
  RegKey() = default;
  bool IsOpen() const noexcept { return m_open; }
  const std::string& Path() const noexcept { return m_path; }
  Hive GetHive() const noexcept { return m_hive; }

 private:
  friend long RegOpenKey(Hive, std::string_view, RegKey&);
  friend long RegCreateKey(Hive, std::string_view, RegKey&, bool*);
  friend long RegCloseKey(RegKey&);
  Hive m_hive = Hive::LocalMachine;
  std::string m_path;
  bool m_open = false;
};

struct RegValue {
  std::string name;  // empty for the default value
  std::uint32_t type = kRegNone;
  std::vector<std::byte> data;
};

// Opens an existing key: kErrorFileNotFound when it does not exist.
long RegOpenKey(Hive hive, std::string_view subKey, RegKey& out);
// Opens a key, creating it and its parents when missing.
long RegCreateKey(Hive hive, std::string_view subKey, RegKey& out, bool* created = nullptr);
long RegCloseKey(RegKey& key);

// The system's query: with data null, size receives the size needed (type too when given);
// with a buffer of *size bytes, the value is copied or kErrorMoreData is returned with *size
// set to the size needed. kErrorFileNotFound when the value does not exist.
long RegQueryValue(const RegKey& key, std::string_view name, std::uint32_t* type, void* data,
                   std::uint32_t* size);
long RegSetValue(const RegKey& key, std::string_view name, std::uint32_t type, const void* data,
                 std::uint32_t size);
long RegDeleteValue(const RegKey& key, std::string_view name);
// Deletes a key with its values and all its subkeys.
long RegDeleteTree(Hive hive, std::string_view subKey);
// Makes every change to the hive durable.
long RegFlushKey(const RegKey& key);

// Listing, for the administrator's tools: values in stored order, subkey names (direct ones).
long RegEnumValues(const RegKey& key, std::vector<RegValue>& out);
long RegEnumSubKeys(const RegKey& key, std::vector<std::string>& out);

// Convenience forms with the same rules.
// A text of at most limit bytes with its zero; the result's trailing zeros are removed.
long RegQueryString(const RegKey& key, std::string_view name, std::uint32_t limit,
                    std::string& out);
// A 32-bit number: the value must be exactly 4 bytes (a different size is kErrorMoreData or
// kErrorInvalidParameter).
long RegQueryDword(const RegKey& key, std::string_view name, std::uint32_t& out);
// Writes REG_SZ with its terminating zero, or without it when withZero is false.
long RegSetString(const RegKey& key, std::string_view name, std::string_view text,
                  bool withZero = true);
long RegSetDword(const RegKey& key, std::string_view name, std::uint32_t value);

// The hive file as text in the export format, and its replacement from such a text (import
// merges: keys and values of the text are created or overwritten, "-" forms delete).
long RegExport(Hive hive, std::string_view subKey, std::string& out);
long RegImport(Hive hive, std::string_view text);

// Where the hive of this process lives (under FaxmailRoot()).
std::string HivePath(Hive hive);

}  // namespace faxmail::platform
