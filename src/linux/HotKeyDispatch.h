#pragma once

// What every hot-key adapter shares: the installed handlers and the event they receive.

#include "ports/HotKeys.h"

#include <vector>

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
