#pragma once

#include "linux/support/Failure.h"

#include <filesystem>
#include <string>
#include <string_view>

/// Replaces file with contents so that a crash or a full disk leaves either the whole old file or
/// the whole new one: a temporary file beside it is written and synced, renamed over the file, and
/// then the folder is synced. Symbolic links are followed, so a linked file is replaced (or a
/// dangling link's target created) where it lives; a loop of links is an error. The folder must
/// exist. No temporary file is left behind, whether it succeeds or fails.
Result<void> replaceFileAtomically(const std::filesystem::path& file, std::string_view contents);
