#include "linux/GettextLocalizer.h"

#include <libintl.h>

#include <algorithm>
#include <array>

// Marks an English message id for xgettext (`--keyword=N_`) without translating it here.
#define N_(text) text

namespace {

constexpr const char* domain = "zelnamenu";

struct Message {
    std::string_view key;
    const char* englishText;
};

constexpr std::array messages{
    // Translators: a switch that starts the program when the user logs in.
    Message{"launch_at_login", N_("Launch at Login")},
    Message{"keyboard_shortcuts", N_("Keyboard Shortcuts")},
    // Translators: a keyboard shortcut slot with no channel assigned to it.
    Message{"hotkey_none", N_("None")},
    Message{"check_for_updates", N_("Check for Updates…")},
    Message{"quit", N_("Quit ZelnaMenu")},
};

} // namespace

GettextLocalizer::GettextLocalizer(const std::filesystem::path& localeDirectory)
{
    // Without a folder gettext keeps looking in the system's locale folder.
    if (!localeDirectory.empty())
        bindtextdomain(domain, localeDirectory.c_str());
    // The menu is exported over D-Bus, which carries UTF-8 whatever the locale's charset.
    bind_textdomain_codeset(domain, "UTF-8");
}

std::string GettextLocalizer::localizedString(std::string_view key)
{
    auto found = std::find_if(messages.begin(), messages.end(),
                              [&](const Message& message) { return message.key == key; });
    if (found == messages.end())
        return std::string(key);
    return dgettext(domain, found->englishText);
}
