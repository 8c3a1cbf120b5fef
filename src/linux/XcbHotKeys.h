#pragma once

#include "linux/support/GOwnedXcb.h"
#include "linux/support/HotKeyDispatch.h"
#include "ports/HotKeys.h"

#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

/// The X modifier masks behind the hot-key modifiers and the lock keys, as the server's modifier
/// map assigns them. A mask of 0 means that no modifier holds that key.
struct XModifierMasks {
    std::uint16_t shift = XCB_MOD_MASK_SHIFT;
    std::uint16_t control = XCB_MOD_MASK_CONTROL;
    std::uint16_t alt = 0;
    std::uint16_t super = 0;
    std::uint16_t numLock = 0;
    std::uint16_t capsLock = XCB_MOD_MASK_LOCK;
    std::uint16_t scrollLock = 0;

    bool operator==(const XModifierMasks&) const = default;
};

/// The masks, given the keysyms of the keys on each of the eight X modifiers (Shift, Lock,
/// Control, Mod1 to Mod5, in that order). Each is every modifier holding the key, as pressing it
/// sets them all: Alt_L or Alt_R for Alt (Meta_L or Meta_R when no modifier holds Alt), Super_L or
/// Super_R, Num_Lock, Scroll_Lock. Caps Lock is always the Lock modifier.
XModifierMasks modifierMasksFromKeysyms(const std::array<std::vector<xkb_keysym_t>, 8>& keysymsByModifier);

/// The X modifiers for a hot key's modifier mask (cmdKey as Super, shiftKey, optionKey as Alt,
/// controlKey), or nothing when it has other bits or a modifier that no key holds.
std::optional<std::uint16_t> xModifiersForHotKeyModifiers(std::uint32_t modifiers, const XModifierMasks& masks);

/// modifiers combined with every subset of the lock masks that exist, each distinct value once,
/// modifiers alone first. A grab is exact about modifiers, so without these a lock key that is
/// on would disable the hot key.
std::vector<std::uint16_t> lockModifierVariants(std::uint16_t modifiers, const XModifierMasks& masks);

/// Whether a key event's modifier state is exactly modifiers, whichever locks are on.
bool isHotKeyState(std::uint16_t state, std::uint16_t modifiers, const XModifierMasks& masks);

/// System-wide hot keys as passive key grabs on the X root window. Key codes name physical keys of
/// the number row, so Alt+1 is the same key on any layout; the grabs follow keyboard-mapping
/// changes. The X connection is watched on the default main context, where handlers are called.
/// Without an X display every registration fails and nothing else changes.
class XcbHotKeys final : public HotKeyAdapter {
public:
    /// Connects to the display named by $DISPLAY.
    XcbHotKeys();
    ~XcbHotKeys() override;
    XcbHotKeys(const XcbHotKeys&) = delete;
    XcbHotKeys& operator=(const XcbHotKeys&) = delete;

    /// Whether an X connection exists, so that registrations can succeed.
    bool isAvailable() const;

    OSStatus registerEventHotKey(std::uint32_t keyCode, std::uint32_t modifiers, EventHotKeyID hotKeyID,
                                 EventTargetRef target, std::uint32_t options, EventHotKeyRef* outRef) override;

private:
    struct Registration {
        std::uint32_t keyCode = 0;
        std::uint32_t modifiers = 0;
        EventHotKeyID hotKeyID;
        /// What is grabbed now: nothing while keycode is 0.
        xcb_keycode_t keycode = 0;
        std::uint16_t xModifiers = 0;
        std::vector<std::uint16_t> grabbedVariants;
        xcb_timestamp_t lastReleaseTime = 0;
    };
    struct EventSource;

    bool loadKeyboard();
    OSStatus grab(Registration&);
    void ungrab(Registration&);
    void keyboardChanged();
    void handleEvent(const xcb_generic_event_t&);
    bool hasQueuedEvents();
    bool dispatchEvents();

    static gboolean prepareSource(GSource*, gint* timeout);
    static gboolean checkSource(GSource*);
    static gboolean dispatchSource(GSource*, GSourceFunc, gpointer);
    static GSourceFuncs s_sourceFunctions;

    GUniquePtr<xcb_connection_t> m_connection;
    xcb_window_t m_root = XCB_NONE;
    std::int32_t m_keyboardDevice = -1;
    std::uint8_t m_xkbEventBase = 0;
    GUniquePtr<xkb_context> m_xkbContext;
    GUniquePtr<xkb_keymap> m_keymap;
    XModifierMasks m_masks;
    std::vector<std::unique_ptr<Registration>> m_registrations;
    std::deque<GUniquePtr<xcb_generic_event_t>> m_queuedEvents;
    GUniquePtr<GSource> m_source;
};
