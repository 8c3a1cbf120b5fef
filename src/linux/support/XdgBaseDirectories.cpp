#include "linux/support/XdgBaseDirectories.h"

#include <glib.h>

#include <cstdlib>
#include <string_view>

namespace {

/// Relative values are invalid by the base-directory rules and must be ignored.
bool isAbsolute(const char* value)
{
    return value && value[0] == '/';
}

/// The variable's folder, else the one of that name in the home folder.
std::filesystem::path userDirectory(const char* variable, const char* inHome)
{
    if (const char* value = std::getenv(variable); isAbsolute(value))
        return value;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(isAbsolute(home) ? home : g_get_home_dir()) / inHome;
}

} // namespace

std::filesystem::path userConfigDirectory()
{
    return userDirectory("XDG_CONFIG_HOME", ".config");
}

std::filesystem::path userCacheDirectory()
{
    return userDirectory("XDG_CACHE_HOME", ".cache");
}

std::filesystem::path userRuntimeDirectory()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return isAbsolute(runtime) ? runtime : std::filesystem::path();
}

std::vector<std::filesystem::path> systemConfigDirectories()
{
    std::vector<std::filesystem::path> directories;
    if (const char* configDirs = std::getenv("XDG_CONFIG_DIRS")) {
        std::string_view rest = configDirs;
        while (!rest.empty()) {
            const auto colon = rest.find(':');
            const std::string entry(rest.substr(0, colon));
            if (isAbsolute(entry.c_str()))
                directories.emplace_back(entry);
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
    }
    if (directories.empty())
        directories.emplace_back("/etc/xdg");
    return directories;
}
