// File-name counters and in-use flags in the gateway's registry key.
//
// Every file the receiver hands to the fax server is numbered from a counter in the key, so
// numbering survives restarts: TmpIndex (raw message files), OUTIndex (envelopes), OUTIndexAtt
// (attachments). A counter hands out its stored value v and stores v + 1, except that after
// 65534 it stores 0; a value of 65535 or more set by hand is used once and counted up from.
// Each step is one exclusive read-modify-write of the hive, so two processes sharing the key
// never get the same number. FileNameUse / FileNameUseAtt say that the file named by FileName /
// FileNameAtt is still being written; a writer waits while a flag is set.
//
// Every helper opens the key (creating it), reads or writes, and closes it: nothing is cached,
// so a value changed by hand or by another process is seen at the next call. Callers serialise
// within the process (the listener's work lock, the file manager's lock).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace faxmail {

class FolderNames;
class SpareFiles;

inline constexpr std::uint32_t kCounterLast = 65534;
// How long a writer sleeps before asking again whether a name is still in use.
inline constexpr std::chrono::milliseconds kNameInUseWait{25000};
// How long CreateAttachListFile waits before its second try.
inline constexpr std::chrono::milliseconds kAttachListRetryWait{5000};

// The value stored back after handing out v.
std::uint32_t NextCounterValue(std::uint32_t v);

// Takes the next number of a counter (TmpIndex, OUTIndex, OUTIndexAtt); a missing counter
// counts as 0 and is created. Returns a registry error when the key cannot be used.
// lazy: the value stored back is seen by every reader at once but reaches the disk only with
// the next synced change of the key or FlushCounters. For a number that nothing durable names
// before that flush (a crash before it hands the number out again, and recovery has removed
// whatever bore it).
long TakeCounter(const char* valueName, std::uint32_t& number, bool lazy = false);
// Makes every lazy change of the key made by this process durable: 0 or the registry's error.
long FlushCounters();

// ProgramPath as read with room for 79 characters (empty when missing or longer).
std::string GetProgramPath();
// The message text scratch file: ProgramPath + "OUT/Msgcnt.imp".
std::string GetBodyFileName();

// Allocates the next envelope name ProgramPath + "OUT/ENV<n>" (a separator is added to the
// program path when it lacks one), stores it in FileName and sets FileNameUse = 1. Returns 0
// and the name, or the registry error of reading ProgramPath.
// The change is lazy: FlushEnvFileName makes it durable, and must have done so before anything
// that bears the number is made durable (a crash before the flush may hand it out again).
long AllocEnvFileName(std::string* name = nullptr);
std::string GetEnvFileName();
std::uint32_t IsEnvFileNameInUse();
// Sets FileNameUse back to 0 for every reader at once; it is on the disk with the next synced
// change of the key or FlushEnvFileName (a crash before that leaves the name read as in use,
// which the next start's recovery handles as a decode cut short).
void ReleaseEnvFileName();
// 0, or the registry's error: then the number and the flag may not be on the disk.
long FlushEnvFileName();

// Allocates "ATT<n>.<extension>" (extension of at most 3 characters), stores it in FileNameAtt
// and sets FileNameUseAtt = 1. Returns the name.
std::string AllocAttFileName(const std::string& extension);
std::string GetAttFileName();
std::uint32_t IsAttFileNameInUse();
void ReleaseAttFileName();

// Clears both in-use flags (at start, before anything can receive mail).
void ResetFileNameFlags();

// Creates a new, empty attachment list file "~ATTCnnn.imp" in ProgramPath + "OUT/" and returns
// its full path (the folder alone when none could be made). Failures are logged on the
// secondary channel; "no more handles" and unknown errors are tried once more after
// retryWait.
// spares: where the file is taken from when one is kept there (null: always a new file).
// names: OUT's names kept in memory for the stem checks (null: OUT is listed).
std::string CreateAttachListFile(std::chrono::milliseconds retryWait = kAttachListRetryWait,
                                 SpareFiles* spares = nullptr, FolderNames* names = nullptr);

}  // namespace faxmail
