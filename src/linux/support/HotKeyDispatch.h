#pragma once

// What every hot-key adapter shares: the number-row keys, the installed handlers and the event
// they receive.

#include "ports/HotKeys.h"

#include <optional>
#include <string>
#include <vector>

/// A key of the number row by its hot-key key code: the digit it carries on every layout's top
/// row and its XKB key name.
struct NumberRowKey {
    std::uint32_t keyCode;
    char digit;
    const char* xkbName;
};

/// The number-row key with that key code, or null for any other key code.
const NumberRowKey* numberRowKey(std::uint32_t keyCode);

enum class HotKeyNotation {
    portal, ///< The desktop portal's trigger syntax: "CTRL+ALT+1", "LOGO+2".
    user, ///< As desktops show keys to users: "Ctrl+Alt+1", "Super+2".
};

/// A number-row key with a modifier mask written in that notation, or nothing for other keys and
/// for masks with other bits.
std::optional<std::string> hotKeyName(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyNotation notation);

/// The event a handler receives for a pressed hot key; its one parameter is the hot-key id.
class HotKeyPressedEvent final : public HotKeyEvent {
public:
    explicit HotKeyPressedEvent(EventHotKeyID hotKeyID);
    OSStatus getEventParameter(FourCharCode name, FourCharCode type, FourCharCode* outActualType,
                               std::uint32_t bufferSize, std::uint32_t* outActualSize, void* outData) const override;

private:
    EventHotKeyID m_hotKeyID;
};

/// The name of the application action that stands for the hot key with that id ("hotkey-1" for
/// id 0): desktops without global hot keys bind their own shortcuts to it.
std::string hotKeyActionName(std::uint32_t hotKeyID);

/// A hot-key adapter: one application target and the handlers installed on it, called in
/// installation order for every press, whether the desktop's keys or the application's hot-key
/// actions made it.
class HotKeyAdapter : public HotKeys {
public:
    EventTargetRef getApplicationEventTarget() override;
    OSStatus installEventHandler(EventTargetRef target, EventHandlerProcPtr handler, std::uint32_t numTypes,
                                 const EventTypeSpec* list, void* userData, EventHandlerRef* outRef) override;
    /// Hands a press of the key registered with hotKeyID to every handler of hot-key-pressed events.
    void press(EventHotKeyID hotKeyID) const;

private:
    struct Installed {
        EventHandlerProcPtr handler;
        void* userData;
    };
    std::vector<Installed> m_handlers;
};
