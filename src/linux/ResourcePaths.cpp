#include "linux/ResourcePaths.h"

#include <cstdio>
#include <system_error>

std::filesystem::path dataDirectory()
{
    // /proc/self/exe names the executable itself, through any symbolic link used to start it.
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        std::fprintf(stderr, "zelnamenu: cannot find the program's own files: %s\n", error.message().c_str());
        return {};
    }
    return (executable.parent_path() / ".." / "share").lexically_normal();
}

std::filesystem::path localeDirectory()
{
    const auto data = dataDirectory();
    return data.empty() ? data : data / "locale";
}

std::filesystem::path symbolDirectory()
{
    const auto data = dataDirectory();
    return data.empty() ? data : data / "zelnamenu" / "symbols";
}
