// The hive of this process: the parsed copy of HKLM.reg, kept up to date under the hive's
// lock, and the one way in for every registry operation.
//
// Each operation takes the lock (registry_lock.h: shared to read, exclusive to change), brings
// the parsed copy up to date (the hive file, then the records of its change log), runs on it,
// and for a change either appends a record to HKLM.reg.log or writes the whole hive to
// HKLM.reg.new, syncs it and renames it over HKLM.reg (see registry.h).
//
// The cached copy is used only when the hive file is the same file (device, inode, size,
// modification and change times) and the change counter kept in the lock file is unchanged:
// inode numbers are reused as soon as the old hive is unlinked and file times are coarse, so
// two quick changes of equal size can look alike by the file alone, but every change through
// this store counts itself in the lock file first.
//
// A hive file that does not parse is never replaced: every operation fails with kErrorBadDb
// until an administrator repairs or removes it. One mutex serialises this process's threads;
// the flock serialises processes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/registry_tree.h"

namespace faxmail::platform::registry {

inline constexpr char kHiveFileName[] = "HKLM.reg";

// $FAXMAIL_ROOT/registry.
std::string RegistryFolder();

// Runs op on the up-to-date hive under the hive's lock. op returns an error number and sets
// changed when it altered the tree; a change is then stored, and a failed one is forgotten.
// A read (exclusive false) that changes the tree is a broken invariant and aborts.
using HiveOp = std::function<long(Tree&, bool& changed)>;
long WithHive(Hive hive, bool exclusive, const HiveOp& op);

// Runs op on the key of an open RegKey (kErrorKeyDeleted when it has gone).
using KeyOp = std::function<long(Tree&, KeyNode&, bool& changed)>;
long WithKey(const RegKey& key, bool exclusive, const KeyOp& op);

// Runs op on the key of an open RegKey under the exclusive lock, as a change of that key's values
// alone: op names in changed every value it set or removed, and their new state is appended to
// the change log as one record (the hive is written whole when the log is full), synced unless
// durable is false: then it is there for every reader at once and on the disk at the next
// synced change or SyncLog.
using ValuesOp = std::function<long(Tree&, KeyNode&, std::vector<std::string>& changed)>;
long ChangeValues(const RegKey& key, const ValuesOp& op, bool durable = true);

// Makes the records that this process appended without a sync durable.
long SyncLog();

// Empties the parsed copy and closes the kept lock file (see RegReleaseCache).
void ReleaseCache();

// Why the hive file does not load, after trying to load it; empty when it loads.
std::string LoadProblem(Hive hive);

}  // namespace faxmail::platform::registry
