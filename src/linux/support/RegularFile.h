#pragma once

// Reading the user's small files (preferences, desktop entries) on the main thread. Whatever
// stands at such a path is the user's or another program's: a FIFO would block open() for ever,
// a device or a huge file would stall the program, so only a regular file of bounded size is read.

#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

/// One version of a file as stat sees it. Editing or replacing the file changes it, unless the
/// edit keeps the size within one tick of the file system's clock: `isSettled` tells when that
/// cannot happen any more.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified {};

    bool operator==(const FileIdentity& other) const;
    /// Whether any later change of the file is bound to change its identity: its last change
    /// falls in a tick of the file system's clock that has already ended.
    bool isSettled() const;
};

/// The identity of what path names now (links followed); nothing when it cannot be stat'ed.
/// The same for every missing path, so that "still missing" compares equal.
std::optional<FileIdentity> currentFileIdentity(const std::filesystem::path& path);

struct FileRead {
    enum class Outcome {
        missing, ///< Nothing at the path (or a dangling link).
        read, ///< contents holds the whole file.
        refused, ///< Not a regular file, or larger than the limit; problem says which. Not read.
        failed, ///< It could not be opened or read; problem says why.
    };
    Outcome outcome = Outcome::missing;
    std::string contents;
    std::string problem; ///< One sentence naming the path, for refused and failed.
    FileIdentity identity; ///< Of the file opened, for read and refused.
};

/// Reads the file at path (links followed) without blocking on it: opened non-blocking, then
/// checked on the open descriptor, so that what is read is what was checked. At most maximumSize
/// bytes are ever read.
FileRead readRegularFile(const std::filesystem::path& path, std::size_t maximumSize);
