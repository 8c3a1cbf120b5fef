#include "linux/support/Log.h"

#include "linux/support/GOwned.h"

#include <cstdarg>
#include <cstdio>
#include <string>

void logLine(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    GUniquePtr<gchar> message(g_strdup_vprintf(format, arguments));
    va_end(arguments);
    // One write for the whole line, so that lines from the player's threads never interleave.
    const std::string line = std::string("zelnamenu: ") + message.get() + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}
