#pragma once

// What every hot-key adapter shares: the number-row keys, the installed handlers and the event
// they receive.

#include "ports/HotKeys.h"

#include <vector>

/// A key of the number row by its hot-key key code (ANSI positions: 22 is the 6 key, 23 the 5
/// key): the digit it carries on every layout's top row and its XKB key name.
struct NumberRowKey {
    std::uint32_t keyCode;
    char digit;
    const char* xkbName;
};

/// The number-row key with that key code, or null for any other key code.
const NumberRowKey* numberRowKey(std::uint32_t keyCode);

/// The event a handler receives for a pressed hot key; its one parameter is the hot-key id.
class HotKeyPressedEvent final : public HotKeyEvent {
public:
    explicit HotKeyPressedEvent(EventHotKeyID hotKeyID);
    OSStatus getEventParameter(FourCharCode name, FourCharCode type, FourCharCode* outActualType,
                               std::uint32_t bufferSize, std::uint32_t* outActualSize, void* outData) const override;

private:
    EventHotKeyID m_hotKeyID;
};

/// The handlers installed on the application target, called in installation order.
class HotKeyHandlers {
public:
    OSStatus install(EventHandlerProcPtr handler, std::uint32_t numTypes, const EventTypeSpec* list, void* userData);
    /// Hands a press of the key registered with hotKeyID to every handler of hot-key-pressed events.
    void deliverPress(EventHotKeyID hotKeyID) const;

private:
    struct Installed {
        EventHandlerProcPtr handler;
        void* userData;
    };
    std::vector<Installed> m_handlers;
};
