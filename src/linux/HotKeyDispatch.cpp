#include "linux/HotKeyDispatch.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::array<NumberRowKey, 10> numberRowKeys = {{
    {18, '1', "AE01"},
    {19, '2', "AE02"},
    {20, '3', "AE03"},
    {21, '4', "AE04"},
    {23, '5', "AE05"},
    {22, '6', "AE06"},
    {26, '7', "AE07"},
    {28, '8', "AE08"},
    {25, '9', "AE09"},
    {29, '0', "AE10"},
}};

} // namespace

const NumberRowKey* numberRowKey(std::uint32_t keyCode)
{
    auto found = std::find_if(numberRowKeys.begin(), numberRowKeys.end(),
                              [keyCode](const NumberRowKey& key) { return key.keyCode == keyCode; });
    return found == numberRowKeys.end() ? nullptr : &*found;
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
