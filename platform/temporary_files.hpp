#pragma once
// How replaceFile names its temporary files, for the per-OS sources: one rule for writing them
// and for recognising those that a dead process left behind.

#include <cstdint>
#include <string>

namespace platform::temporary_files {

// The temporary that the process with the given id writes before it replaces path (a native
// path): path + "." + id + ".tmp". One writer per process, so no two live writers share a name.
std::string pathFor(const std::string& path, std::uint64_t writer);

// Removes the temporaries of path (a native path) whose writer is no longer running; a live
// writer's temporary and every other name are left alone.
void removeStale(const std::string& path);

} // namespace platform::temporary_files
