#pragma once

#include <string_view>

enum class HotKeyBackend { x11, portal, none };

/// Which facility stands behind the hot keys for a session: X11 grabs where an X display serves
/// an X11 session; the desktop portal on Wayland, where X11 grabs fire only while an X11 window
/// has focus; nothing otherwise. The arguments are XDG_SESSION_TYPE, WAYLAND_DISPLAY and
/// DISPLAY, empty when unset.
HotKeyBackend chooseHotKeyBackend(std::string_view sessionType, std::string_view waylandDisplay,
                                  std::string_view display);
