#include "linux/support/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

FileIdentity identityOf(const struct stat& status)
{
    return FileIdentity { status.st_dev, status.st_ino, status.st_size, status.st_mtim };
}

std::string systemProblem(const char* what, const std::filesystem::path& path, int error)
{
    return std::string(what) + " " + path.string() + ": " + std::strerror(error);
}

/// Closes the descriptor whichever way the read ends.
struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
};

} // namespace

bool FileIdentity::operator==(const FileIdentity& other) const
{
    return device == other.device && inode == other.inode && size == other.size
        && modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

bool FileIdentity::isSettled() const
{
    // File times come from the coarse clock; an edit in the tick of the last change could keep
    // every field above as it was.
    timespec now {};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return modified.tv_sec < now.tv_sec || (modified.tv_sec == now.tv_sec && modified.tv_nsec < now.tv_nsec);
}

std::optional<FileIdentity> currentFileIdentity(const std::filesystem::path& path)
{
    struct stat status { };
    if (stat(path.c_str(), &status) == 0)
        return identityOf(status);
    if (errno == ENOENT)
        return FileIdentity {};
    return std::nullopt;
}

FileRead readRegularFile(const std::filesystem::path& path, std::size_t maximumSize)
{
    FileRead result;
    // O_NONBLOCK makes opening a FIFO return at once; a terminal must not become ours.
    const Descriptor file { open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY) };
    if (file.fd < 0) {
        if (errno == ENOENT)
            return result;
        // A socket cannot be opened at all.
        result.outcome = errno == ENXIO ? FileRead::Outcome::refused : FileRead::Outcome::failed;
        result.problem
            = errno == ENXIO ? path.string() + " is not a regular file" : systemProblem("cannot open", path, errno);
        return result;
    }
    struct stat status { };
    if (fstat(file.fd, &status) != 0) {
        result.outcome = FileRead::Outcome::failed;
        result.problem = systemProblem("cannot read", path, errno);
        return result;
    }
    result.identity = identityOf(status);
    if (!S_ISREG(status.st_mode)) {
        result.outcome = FileRead::Outcome::refused;
        result.problem = path.string() + " is not a regular file";
        return result;
    }
    const auto tooLarge = [&] {
        result.outcome = FileRead::Outcome::refused;
        result.problem = path.string() + " is larger than " + std::to_string(maximumSize) + " bytes";
        return result;
    };
    if (static_cast<std::uintmax_t>(status.st_size) > maximumSize)
        return tooLarge();

    // The file may grow while it is read: one byte more than allowed tells.
    const std::size_t limit = maximumSize + 1;
    result.contents.resize(static_cast<std::size_t>(status.st_size) + 1);
    std::size_t length = 0;
    while (length < limit) {
        if (length == result.contents.size())
            result.contents.resize(std::min(limit, 2 * length));
        const ssize_t count = read(file.fd, result.contents.data() + length, result.contents.size() - length);
        if (count == 0)
            break;
        if (count < 0) {
            if (errno == EINTR)
                continue;
            result.outcome = FileRead::Outcome::failed;
            result.problem = systemProblem("cannot read", path, errno);
            result.contents.clear();
            return result;
        }
        length += static_cast<std::size_t>(count);
    }
    if (length > maximumSize) {
        result.contents.clear();
        return tooLarge();
    }
    result.contents.resize(length);
    result.outcome = FileRead::Outcome::read;
    return result;
}
