// The registry store: the local machine hive kept as one text file.
//
// The hive is $FAXMAIL_ROOT/registry/HKLM.reg in the registry editor's export format
// ("REGEDIT4", "[HKEY_LOCAL_MACHINE\KEY\PATH]" sections, "Name"="text", "Name"=dword:0000001d,
// hex(N): lists, @ for a key's default value, \\ and \" escapes), so administrators may read
// and edit it by hand. Key and value names compare without regard to letter case and keep the
// case they were created with; key paths use backslashes.
//
// Several processes share the hive. Every read takes a shared lock and every change an
// exclusive lock (flock on HKLM.reg.lock beside the hive). A change of values is appended as
// one record, checksummed and synced, to the change log HKLM.reg.log beside the hive; any
// other change, and the next change once the log holds 64 KiB, writes the whole hive to a
// temporary file, syncs it, renames it over the hive, syncs the folder and starts the log
// afresh. So a change is durable when it returns, a reader sees every change committed before
// it, and a crash in the middle of an append loses only that one change. The log's first line
// names the hive file it continues: a hive replaced by hand is not continued by an older log.
// An administrator who edits HKLM.reg by hand sees the values as of the last whole write
// (faxmailreg shows the current ones); values set through the store since then are in the log
// and are applied over the edit. A hive that does not parse, or a log record that does not,
// is reported with kErrorBadDb, never taken as empty. A missing hive file is an empty hive.
//
// Values keep their exact bytes and type. The query has the system's size rules: a value longer
// than the caller's buffer is kErrorMoreData with the size needed; a text written with its
// terminating zero counts that zero. All functions may be called from any thread; a RegKey
// is a plain name and may be shared read-only.
//
// Limits: the hive file holds at most kMaxHiveFileSize bytes (a larger file reads as damaged,
// a change that would make it larger fails with kErrorRegistryQuotaLimit); key names up to 255
// bytes and 512 levels deep, value names up to 16383 bytes, names without line breaks or zero
// bytes; at most 65536 keys and 262144 values in a hive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
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

// The size limit of a hive file.
inline constexpr std::uint64_t kMaxHiveFileSize = std::uint64_t{16} << 20;
// A change would make the hive larger than kMaxHiveFileSize.
inline constexpr long kErrorRegistryQuotaLimit = 613;

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

// Every function returns 0 or an error number of win_error.h: kErrorFileNotFound (no such key
// or value), kErrorAccessDenied (the hive or its folder cannot be read or written),
// kErrorInvalidParameter (a bad name or argument), kErrorInvalidHandle (a key not open),
// kErrorMoreData, kErrorBadDb (the hive file does not parse: see RegHiveProblem),
// kErrorKeyDeleted, kErrorRegistryQuotaLimit, kErrorDiskFull. A key deleted and created again
// under the same path is the same key to an open RegKey.

// Opens an existing key: kErrorFileNotFound when it does not exist. An empty subKey is the
// hive's root.
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
// Deletes a key with its values and all its subkeys (not the hive's root).
long RegDeleteTree(Hive hive, std::string_view subKey);
// Makes every change to the hive durable: each change but a lazy one (RegSetDwordLazy) already
// is when it returns, so this checks the key and syncs what lazy changes this process made.
long RegFlushKey(const RegKey& key);
// Writes the whole hive file now and starts its change log afresh, so that HKLM.reg itself shows
// every value: for an administrator about to read or edit it by hand (faxmailreg compact).
long RegWriteHive(Hive hive);
// Lets go of this process's parsed copy of the hive (the next operation reads the file again)
// and closes the hive's lock file kept open between operations. Both outlive everything else on
// purpose, since threads may still use them while the process ends; a shared library that is
// unloaded calls this first, or the copy is lost with the library's memory and the descriptor
// stays open.
void RegReleaseCache();

// Listing, for the administrator's tools: values in stored order, subkey names (direct ones).
long RegEnumValues(const RegKey& key, std::vector<RegValue>& out);
long RegEnumSubKeys(const RegKey& key, std::vector<std::string>& out);

// Convenience forms with the same rules.
// A text of at most limit bytes with its zero: a value whose bytes, with a zero added when
// they hold none, exceed limit is kErrorMoreData. The result ends before the first zero.
// Like the system's query, the value's type is not checked.
long RegQueryString(const RegKey& key, std::string_view name, std::uint32_t limit,
                    std::string& out);
// A 32-bit number: the value must be exactly 4 bytes (a longer value is kErrorMoreData, a
// shorter one kErrorInvalidParameter); the type is not checked.
long RegQueryDword(const RegKey& key, std::string_view name, std::uint32_t& out);
// Writes REG_SZ with its terminating zero, or without it when withZero is false.
long RegSetString(const RegKey& key, std::string_view name, std::string_view text,
                  bool withZero = true);
long RegSetDword(const RegKey& key, std::string_view name, std::uint32_t value);
// As RegSetDword, but not yet synced when it returns: every reader sees it at once, and it is
// on the disk after the next RegFlushKey or synced change of the hive by this process (a crash
// before that may lose it). For a value whose loss a crash's recovery already allows for.
long RegSetDwordLazy(const RegKey& key, std::string_view name, std::uint32_t value);
// A 32-bit number's bytes as the store keeps them (little-endian), and back with
// RegQueryDword's rule: exactly 4 bytes, a longer value kErrorMoreData, a shorter one
// kErrorInvalidParameter. For RegUpdateValues.
std::vector<std::byte> RegDwordBytes(std::uint32_t value);
long RegDwordOf(const RegValue& value, std::uint32_t& out);

// A read-modify-write of a 32-bit number that no other process or thread can come between:
// update receives the current value (nothing when the value is missing) and returns the value
// to store as REG_DWORD; *result (when given) receives it. A value present with a size other
// than 4 bytes fails as RegQueryDword does, without calling update. update runs under the
// hive's exclusive lock: it must be quick and must not call the registry.
long RegUpdateDword(const RegKey& key, std::string_view name,
                    const std::function<std::uint32_t(std::optional<std::uint32_t>)>& update,
                    std::uint32_t* result = nullptr);
// The same change made as RegSetDwordLazy makes its own: seen by every reader at once, on the
// disk with the next RegFlushKey or synced change of the hive by this process.
long RegUpdateDwordLazy(const RegKey& key, std::string_view name,
                        const std::function<std::uint32_t(std::optional<std::uint32_t>)>& update,
                        std::uint32_t* result = nullptr);

// Several values of one key read and written as one change that no other process or thread can
// come between: update reads the key's values through find (null when missing) and fills writes
// with the values to store (name, type, exact bytes). Either every write is made or, when update
// or a write fails, none is. update runs under the hive's exclusive lock: it must be quick and
// must not call the registry.
using RegValueFinder = std::function<const RegValue*(std::string_view name)>;
long RegUpdateValues(
    const RegKey& key,
    const std::function<long(const RegValueFinder&, std::vector<RegValue>&)>& update);
// The same change made as RegSetDwordLazy makes its own: seen by every reader at once, on the
// disk with the next RegFlushKey or synced change of the hive by this process.
long RegUpdateValuesLazy(
    const RegKey& key,
    const std::function<long(const RegValueFinder&, std::vector<RegValue>&)>& update);

// The hive file as text in the export format, and its replacement from such a text (import
// merges: keys and values of the text are created or overwritten, "-" forms delete).
// Export writes REGEDIT4 text of subKey and everything below it (the whole hive for an empty
// subKey). Import takes REGEDIT4 or "Windows Registry Editor Version 5.00" text (UTF-8 or, with
// its byte order mark, UTF-16LE holding only characters below U+0100), applies all of it or
// nothing, and for a text that does not parse returns kErrorInvalidParameter with the line
// and reason in *problem.
long RegExport(Hive hive, std::string_view subKey, std::string& out);
long RegImport(Hive hive, std::string_view text, std::string* problem = nullptr);

// Why the hive file does not load ("/var/lib/faxmail/registry/HKLM.reg line 7: unterminated
// quoted text"), or empty when it loads (or cannot be read at all).
std::string RegHiveProblem(Hive hive);

// Where the hive of this process lives (under FaxmailRoot()).
std::string HivePath(Hive hive);

}  // namespace faxmail::platform
