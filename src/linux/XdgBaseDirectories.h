#pragma once

#include <filesystem>
#include <vector>

// The XDG base directories, read from the environment at each call so that a changed
// environment (a test's scratch folders) is seen at once.

/// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
std::filesystem::path userConfigDirectory();

/// The absolute entries of $XDG_CONFIG_DIRS in order of importance, else /etc/xdg.
std::vector<std::filesystem::path> systemConfigDirectories();
