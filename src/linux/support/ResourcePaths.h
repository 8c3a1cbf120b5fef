#pragma once

#include <filesystem>
#include <optional>

// Where the program's own resources are: `share/` beside the `bin/` that holds the executable.
// The build tree and an installed prefix share that layout, so the program runs from either.

/// The running program's executable, through any symbolic link used to start it; nothing when
/// the system cannot tell.
std::optional<std::filesystem::path> runningExecutable();

/// `<folder of the running executable>/../share`; empty when the executable cannot be found.
std::filesystem::path dataDirectory();

/// The gettext catalogues: `<data>/locale`.
std::filesystem::path localeDirectory();
