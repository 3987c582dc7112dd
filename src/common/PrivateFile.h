// Files that hold secrets (the database, the log, the settings file) are created readable and
// writable by the server's user alone; a file that exists keeps the mode it has, so an
// operator may open it to a group.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

namespace vh {

constexpr mode_t kPrivateFileMode = 0600;

// Creates `path` empty with kPrivateFileMode when nothing is there (the umask can only take
// bits away). True when the file exists afterwards.
bool CreatePrivateFileIfMissing(const std::string& path);

// Opens `path` for appending, creating it with kPrivateFileMode when missing; null on failure.
FILE* OpenPrivateFileForAppend(const std::string& path);

}  // namespace vh
