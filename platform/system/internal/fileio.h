// Whole writes and folder chains on plain descriptors, shared by the files platform/ keeps (the
// log, the registry store, the publishing spool) and the virtual keyboard. Not for use outside
// platform/. Any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

// Internal: never exported from the shared library.
#pragma GCC visibility push(hidden)

namespace qv::platform {

// Writes data at the end (at < 0) or at offset at, through short writes and EINTR; returns how
// many bytes went out before a failure (all of them on success), errno telling why when fewer
// (ENOSPC for a write that took nothing).
std::size_t WriteOut(int fd, std::string_view data, off_t at = -1);
inline bool WriteAll(int fd, std::string_view data, off_t at = -1) { return WriteOut(fd, data, at) == data.size(); }

// Makes a folder and every missing parent (mode 0700); false with errno when one cannot be made.
// A part that exists already is taken as it is.
bool MakeFolders(const std::string& path);

}  // namespace qv::platform

#pragma GCC visibility pop
