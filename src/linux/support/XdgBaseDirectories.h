#pragma once

#include <filesystem>
#include <vector>

// The XDG base directories, read from the environment at each call so that a changed
// environment (a test's scratch folders) is seen at once.

/// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
std::filesystem::path userConfigDirectory();

/// $XDG_CACHE_HOME when it is an absolute path, else ~/.cache.
std::filesystem::path userCacheDirectory();

/// $XDG_RUNTIME_DIR when it is an absolute path; empty without one. Unlike the other folders it
/// has no fallback: it goes when the user's last session ends, which is what it is chosen for.
std::filesystem::path userRuntimeDirectory();

/// The absolute entries of $XDG_CONFIG_DIRS in order of importance, else /etc/xdg.
std::vector<std::filesystem::path> systemConfigDirectories();
