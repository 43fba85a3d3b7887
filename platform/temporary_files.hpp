#pragma once
// How replaceFile names its temporary files, for the per-OS sources: one rule for writing them
// and for recognising those that a dead process left behind.

#include <cstdint>
#include <string>

namespace platform::temporary_files {

// The temporary that writer (a process id) writes as its serial-th save before it replaces path
// (a native path): path + "." + writer + "." + serial + ".tmp". Each save of a process takes a
// serial of its own (nextSerial), so no two live saves, of any thread or process, share a name.
// One left with the same name can only be an earlier process's that had this id: it is removed
// before the save writes its own.
std::string pathFor(const std::string& path, std::uint64_t writer, std::uint64_t serial);
std::uint64_t nextSerial();
// The serial the next save will take, without taking it (for tests).
std::uint64_t upcomingSerial();

// Removes the temporaries of path (a native path) whose writer is no longer running; a live
// writer's temporary and every other name are left alone.
void removeStale(const std::string& path);

} // namespace platform::temporary_files
