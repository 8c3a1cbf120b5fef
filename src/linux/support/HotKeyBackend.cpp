#include "linux/support/HotKeyBackend.h"

HotKeyBackend chooseHotKeyBackend(std::string_view sessionType, std::string_view waylandDisplay,
                                  std::string_view display)
{
    // An explicit session type wins; without one, a Wayland socket means a Wayland session.
    const bool isWayland = sessionType == "wayland" || (sessionType.empty() && !waylandDisplay.empty());
    if (isWayland)
        return HotKeyBackend::portal;
    if (!display.empty())
        return HotKeyBackend::x11;
    return HotKeyBackend::none;
}
