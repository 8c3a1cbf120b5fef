#pragma once

#include <glib.h>

/// Says one line on stderr: "zelnamenu: " and the printf-style message. This is how the program
/// tells a terminal or the journal what it dropped, gave up or keeps waiting for.
void logLine(const char* format, ...) G_GNUC_PRINTF(1, 2);
