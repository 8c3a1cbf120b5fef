#include "linux/XdgBaseDirectories.h"

#include <glib.h>

#include <cstdlib>
#include <string_view>

namespace {

/// Relative values are invalid by the base-directory rules and must be ignored.
bool isAbsolute(const char* value)
{
    return value && value[0] == '/';
}

} // namespace

std::filesystem::path userConfigDirectory()
{
    if (const char* configHome = std::getenv("XDG_CONFIG_HOME"); isAbsolute(configHome))
        return configHome;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(isAbsolute(home) ? home : g_get_home_dir()) / ".config";
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
