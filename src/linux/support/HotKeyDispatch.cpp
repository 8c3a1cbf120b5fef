#include "linux/support/HotKeyDispatch.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::array<NumberRowKey, 10> numberRowKeys = {{
    {kVK_ANSI_1, '1', "AE01"},
    {kVK_ANSI_2, '2', "AE02"},
    {kVK_ANSI_3, '3', "AE03"},
    {kVK_ANSI_4, '4', "AE04"},
    {kVK_ANSI_5, '5', "AE05"},
    {kVK_ANSI_6, '6', "AE06"},
    {kVK_ANSI_7, '7', "AE07"},
    {kVK_ANSI_8, '8', "AE08"},
    {kVK_ANSI_9, '9', "AE09"},
    {kVK_ANSI_0, '0', "AE10"},
}};

} // namespace

const NumberRowKey* numberRowKey(std::uint32_t keyCode)
{
    auto found = std::find_if(numberRowKeys.begin(), numberRowKeys.end(),
                              [keyCode](const NumberRowKey& key) { return key.keyCode == keyCode; });
    return found == numberRowKeys.end() ? nullptr : &*found;
}

std::optional<std::string> hotKeyName(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyNotation notation)
{
    const auto* key = numberRowKey(keyCode);
    constexpr std::uint32_t known = controlKey | optionKey | shiftKey | cmdKey;
    if (!key || (modifiers & ~known))
        return std::nullopt;
    // In the order the portal's syntax uses.
    using Names = std::array<std::pair<std::uint32_t, const char*>, 4>;
    constexpr Names portalNames = {{{controlKey, "CTRL+"}, {optionKey, "ALT+"}, {shiftKey, "SHIFT+"}, {cmdKey, "LOGO+"}}};
    constexpr Names userNames = {{{controlKey, "Ctrl+"}, {optionKey, "Alt+"}, {shiftKey, "Shift+"}, {cmdKey, "Super+"}}};
    std::string name;
    for (const auto& [mask, prefix] : notation == HotKeyNotation::portal ? portalNames : userNames) {
        if (modifiers & mask)
            name += prefix;
    }
    return name + key->digit;
}

HotKeyPressedEvent::HotKeyPressedEvent(EventHotKeyID hotKeyID)
    : m_hotKeyID(hotKeyID)
{
}

OSStatus HotKeyPressedEvent::getEventParameter(FourCharCode name, FourCharCode type, FourCharCode* outActualType,
                                               std::uint32_t bufferSize, std::uint32_t* outActualSize,
                                               void* outData) const
{
    if (name != kEventParamDirectObject || type != typeEventHotKeyID || bufferSize < sizeof(EventHotKeyID) || !outData)
        return eventParameterNotFoundErr;
    std::memcpy(outData, &m_hotKeyID, sizeof m_hotKeyID);
    if (outActualType)
        *outActualType = typeEventHotKeyID;
    if (outActualSize)
        *outActualSize = sizeof m_hotKeyID;
    return noErr;
}

std::string hotKeyActionName(std::uint32_t hotKeyID)
{
    return "hotkey-" + std::to_string(std::uint64_t(hotKeyID) + 1);
}

EventTargetRef HotKeyAdapter::getApplicationEventTarget()
{
    return reinterpret_cast<EventTargetRef>(this);
}

OSStatus HotKeyAdapter::installEventHandler(EventTargetRef, EventHandlerProcPtr handler, std::uint32_t numTypes,
                                            const EventTypeSpec* list, void* userData, EventHandlerRef*)
{
    if (!handler || !list)
        return eventInternalErr;
    for (std::uint32_t index = 0; index < numTypes; ++index) {
        // Hot-key presses are the only events these adapters produce.
        if (list[index].eventClass == kEventClassKeyboard && list[index].eventKind == kEventHotKeyPressed) {
            m_handlers.push_back({handler, userData});
            break;
        }
    }
    return noErr;
}

void HotKeyAdapter::press(EventHotKeyID hotKeyID) const
{
    const HotKeyPressedEvent event(hotKeyID);
    // A copy: a handler may install another one while it runs.
    const auto handlers = m_handlers;
    for (const auto& installed : handlers)
        installed.handler(nullptr, &event, installed.userData);
}
