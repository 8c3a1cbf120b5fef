#include "linux/support/AtomicFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

Failure systemError(std::string_view what, const std::filesystem::path& path, int error)
{
    return { std::string(what) + " " + path.string() + ": " + std::strerror(error) };
}

bool writeAll(int fd, std::string_view contents)
{
    while (!contents.empty()) {
        const ssize_t written = write(fd, contents.data(), contents.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        contents.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

/// Where a chain of symbolic links at file ends, whether or not anything is there yet.
Result<std::filesystem::path> linkTarget(const std::filesystem::path& file)
{
    // As many links as the kernel follows before it gives up with ELOOP.
    constexpr int maximumLinks = 40;
    std::filesystem::path target = file;
    for (int links = 0; links <= maximumLinks; ++links) {
        std::error_code code;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(target, code)))
            return target;
        auto next = std::filesystem::read_symlink(target, code);
        if (code)
            return systemError("cannot read the link", target, code.value());
        // A relative link is relative to the folder that holds it.
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    return systemError("cannot follow", file, ELOOP);
}

} // namespace

Result<void> replaceFileAtomically(const std::filesystem::path& file, std::string_view contents)
{
    // Dotfile managers link config files, sometimes before the target exists; replacing the link
    // would cut it off.
    const auto resolved = linkTarget(file);
    if (!resolved)
        return resolved.failure();
    const std::filesystem::path& target = *resolved;

    std::string temporary = target.string() + ".XXXXXX";
    const int fd = g_mkstemp_full(temporary.data(), O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0)
        return systemError("cannot create a file beside", target, errno);
    // The replacement keeps the permissions the user gave the old file.
    if (struct stat old; stat(target.c_str(), &old) == 0)
        fchmod(fd, old.st_mode & 07777);

    const bool isWritten = writeAll(fd, contents) && fsync(fd) == 0;
    const int writeError = errno;
    if (close(fd) != 0 || !isWritten) {
        const auto failure = systemError("cannot write", temporary, isWritten ? errno : writeError);
        unlink(temporary.c_str());
        return failure;
    }
    if (rename(temporary.c_str(), target.c_str()) != 0) {
        const auto failure = systemError("cannot replace", target, errno);
        unlink(temporary.c_str());
        return failure;
    }

    // Makes the rename itself durable. The new content is in place whatever this says, and some
    // file systems cannot sync a folder, so its result does not turn the write into a failure.
    const int folder = open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return {};
}
