#include "linux/support/ResourcePaths.h"

#include "linux/support/Log.h"

#include <string>
#include <string_view>
#include <system_error>

std::optional<std::filesystem::path> runningExecutable()
{
    // /proc/self/exe names the executable itself, through any symbolic link used to start it.
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || path.empty())
        return std::nullopt;
    // After an upgrade replaced the binary, the link names the old one as "<path> (deleted)";
    // the program now at <path> is the one meant.
    constexpr std::string_view deletedSuffix = " (deleted)";
    std::string text = path.string();
    if (text.ends_with(deletedSuffix) && !std::filesystem::exists(path, error)) {
        text.resize(text.size() - deletedSuffix.size());
        path = text;
    }
    return path;
}

std::filesystem::path dataDirectory()
{
    const auto executable = runningExecutable();
    if (!executable) {
        logLine("cannot find the program's own files: /proc/self/exe is unreadable");
        return {};
    }
    return (executable->parent_path() / ".." / "share").lexically_normal();
}

std::filesystem::path localeDirectory()
{
    const auto data = dataDirectory();
    return data.empty() ? data : data / "locale";
}
