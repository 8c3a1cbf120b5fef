#pragma once

#include <filesystem>

// Where the program's own resources are: `share/` beside the `bin/` that holds the executable.
// The build tree and an installed prefix share that layout, so the program runs from either.

/// `<folder of the running executable>/../share`; empty when the executable cannot be found.
std::filesystem::path dataDirectory();

/// The gettext catalogues: `<data>/locale`.
std::filesystem::path localeDirectory();

/// The status image's symbols: `<data>/zelnamenu/symbols`.
std::filesystem::path symbolDirectory();
