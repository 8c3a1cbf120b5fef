#pragma once

#include <cstdint>

// System-wide hot keys in the vocabulary of a classic event manager: an application event
// target, handlers installed on it for event types, hot keys registered by key code and modifier
// mask, and events whose parameters a handler reads. Everything runs on the main thread; an
// adapter delivers events from its main-loop source by calling the installed handlers.

using OSStatus = std::int32_t;
using FourCharCode = std::uint32_t;

/// Packs a four-character code with the first character most significant.
constexpr FourCharCode fourCharCode(const char (&code)[5])
{
    return (FourCharCode(static_cast<unsigned char>(code[0])) << 24)
        | (FourCharCode(static_cast<unsigned char>(code[1])) << 16)
        | (FourCharCode(static_cast<unsigned char>(code[2])) << 8)
        | FourCharCode(static_cast<unsigned char>(code[3]));
}

inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus eventNotHandledErr = -9874;
inline constexpr OSStatus eventHotKeyExistsErr = -9878;
inline constexpr OSStatus eventParameterNotFoundErr = -9870;
inline constexpr OSStatus eventInternalErr = -9868;

inline constexpr FourCharCode kEventClassKeyboard = fourCharCode("keyb");
inline constexpr std::uint32_t kEventHotKeyPressed = 5;
inline constexpr FourCharCode kEventParamDirectObject = fourCharCode("----");
inline constexpr FourCharCode typeEventHotKeyID = fourCharCode("hkid");

/// Virtual key codes of the number row's digit keys: physical positions on an ANSI keyboard,
/// whatever a layout prints on them (hence the 5 key before the 6 key).
inline constexpr std::uint32_t kVK_ANSI_1 = 18;
inline constexpr std::uint32_t kVK_ANSI_2 = 19;
inline constexpr std::uint32_t kVK_ANSI_3 = 20;
inline constexpr std::uint32_t kVK_ANSI_4 = 21;
inline constexpr std::uint32_t kVK_ANSI_6 = 22;
inline constexpr std::uint32_t kVK_ANSI_5 = 23;
inline constexpr std::uint32_t kVK_ANSI_9 = 25;
inline constexpr std::uint32_t kVK_ANSI_7 = 26;
inline constexpr std::uint32_t kVK_ANSI_8 = 28;
inline constexpr std::uint32_t kVK_ANSI_0 = 29;

/// Modifier masks of RegisterEventHotKey.
inline constexpr std::uint32_t cmdKey = 256;
inline constexpr std::uint32_t shiftKey = 512;
inline constexpr std::uint32_t optionKey = 2048;
inline constexpr std::uint32_t controlKey = 4096;

struct EventHotKeyID {
    FourCharCode signature = 0;
    std::uint32_t id = 0;
};

struct EventTypeSpec {
    FourCharCode eventClass = 0;
    std::uint32_t eventKind = 0;
};

/// An event handed to a handler; its parameters are read with getEventParameter.
class HotKeyEvent {
public:
    virtual ~HotKeyEvent() = default;
    /// Copies the parameter `name` as `type` into outData, which holds bufferSize bytes.
    /// Returns noErr, or a non-zero status when the event has no such parameter.
    virtual OSStatus getEventParameter(FourCharCode name, FourCharCode type, FourCharCode* outActualType,
                                       std::uint32_t bufferSize, std::uint32_t* outActualSize,
                                       void* outData) const = 0;
};

struct OpaqueEventTarget;
struct OpaqueEventHandlerCallRef;
struct OpaqueEventHandlerRef;
struct OpaqueEventHotKeyRef;
using EventTargetRef = OpaqueEventTarget*;
using EventHandlerCallRef = OpaqueEventHandlerCallRef*;
using EventHandlerRef = OpaqueEventHandlerRef*;
using EventRef = const HotKeyEvent*;
/// Names a registration; owned by the adapter, valid for its lifetime.
using EventHotKeyRef = OpaqueEventHotKeyRef*;
using EventHandlerProcPtr = OSStatus (*)(EventHandlerCallRef nextHandler, EventRef event, void* userData);

class HotKeys {
public:
    virtual ~HotKeys() = default;
    /// The application's event target; the same value at every call.
    virtual EventTargetRef getApplicationEventTarget() = 0;
    /// From now on, events of the listed types for this target are delivered to handler with
    /// userData. outRef may be null. Handlers are never removed.
    virtual OSStatus installEventHandler(EventTargetRef target, EventHandlerProcPtr handler,
                                         std::uint32_t numTypes, const EventTypeSpec* list, void* userData,
                                         EventHandlerRef* outRef) = 0;
    /// Reserves keyCode with the modifier mask system-wide; its presses arrive as
    /// kEventHotKeyPressed events carrying hotKeyID. Returns noErr and sets *outRef, or a
    /// non-zero status (eventHotKeyExistsErr when another program holds the combination) and
    /// leaves *outRef as it was. Key codes are those of the number row's digit keys.
    virtual OSStatus registerEventHotKey(std::uint32_t keyCode, std::uint32_t modifiers, EventHotKeyID hotKeyID,
                                         EventTargetRef target, std::uint32_t options, EventHotKeyRef* outRef) = 0;
};
