#include "core/HotkeyManager.h"

#include <algorithm>

namespace {

constexpr std::string_view hotkeyChannelsKey = "hotkeyChannels";

/// How the event handler finds the manager; it holds the manager until the process ends.
std::shared_ptr<HotkeyManager> hotkeyManagerInstance;

} // namespace

std::shared_ptr<HotkeyManager> HotkeyManager::make(HotKeys& hotKeys, Preferences& preferences)
{
    std::shared_ptr<HotkeyManager> manager(new HotkeyManager(hotKeys, preferences));
    hotkeyManagerInstance = manager;

    const EventTypeSpec eventType{kEventClassKeyboard, kEventHotKeyPressed};
    hotKeys.installEventHandler(hotKeys.getApplicationEventTarget(), hotkeyEventHandler, 1, &eventType, nullptr,
                                nullptr);
    manager->registerAllHotkeys();
    return manager;
}

HotkeyManager::HotkeyManager(HotKeys& hotKeys, Preferences& preferences)
    : m_hotKeys(hotKeys)
    , m_preferences(preferences)
{
}

void HotkeyManager::registerAllHotkeys()
{
    for (int slot = 0; slot < slotCount; ++slot) {
        EventHotKeyRef ref = nullptr;
        const EventHotKeyID hotKeyID{hotKeySignature, static_cast<std::uint32_t>(slot)};
        // A refused key stays dead; the slot can still be bound from the menu.
        m_hotKeys.registerEventHotKey(keyCodes[static_cast<std::size_t>(slot)], optionKey, hotKeyID,
                                      m_hotKeys.getApplicationEventTarget(), 0, &ref);
        m_hotKeyRefs[static_cast<std::size_t>(slot)] = ref;
    }
}

void HotkeyManager::handleHotkey(std::int64_t slot)
{
    if (onHotkeyPressed)
        onHotkeyPressed(slot);
}

std::vector<std::string> HotkeyManager::storedIds()
{
    std::vector<std::string> ids;
    if (auto stored = m_preferences.arrayForKey(hotkeyChannelsKey)) {
        // One element that is not a string makes the whole array unreadable.
        if (std::all_of(stored->begin(), stored->end(), [](const auto& element) { return element.has_value(); })) {
            for (auto& element : *stored)
                ids.push_back(std::move(*element));
        }
    }
    if (ids.size() < static_cast<std::size_t>(slotCount))
        ids.resize(slotCount);
    return ids;
}

std::optional<std::string> HotkeyManager::channelId(int slot)
{
    auto ids = storedIds();
    if (slot < 0 || static_cast<std::size_t>(slot) >= ids.size() || ids[static_cast<std::size_t>(slot)].empty())
        return std::nullopt;
    return std::move(ids[static_cast<std::size_t>(slot)]);
}

void HotkeyManager::setChannel(std::optional<std::string> id, int slot)
{
    auto ids = storedIds();
    if (slot < 0 || static_cast<std::size_t>(slot) >= ids.size())
        return;
    ids[static_cast<std::size_t>(slot)] = id.value_or(std::string());
    m_preferences.setObject(ids, hotkeyChannelsKey);
}

std::optional<int> HotkeyManager::slot(std::string_view channelId)
{
    const auto ids = storedIds();
    auto found = std::find(ids.begin(), ids.end(), channelId);
    if (found == ids.end())
        return std::nullopt;
    return static_cast<int>(found - ids.begin());
}

void HotkeyManager::setDefaults(std::span<const std::string_view> channelIds)
{
    const auto ids = storedIds();
    if (std::any_of(ids.begin(), ids.end(), [](const std::string& id) { return !id.empty(); }))
        return;
    for (std::size_t slot = 0; slot < channelIds.size() && slot < static_cast<std::size_t>(slotCount); ++slot)
        setChannel(std::string(channelIds[slot]), static_cast<int>(slot));
}

OSStatus hotkeyEventHandler(EventHandlerCallRef, EventRef event, void*)
{
    if (!event)
        return eventNotHandledErr;

    EventHotKeyID hotKeyID{};
    const OSStatus status = event->getEventParameter(kEventParamDirectObject, typeEventHotKeyID, nullptr,
                                                     sizeof(EventHotKeyID), nullptr, &hotKeyID);
    if (status != noErr)
        return status;

    // Widened without change of value; the signature is not checked.
    const auto slot = static_cast<std::int64_t>(hotKeyID.id);
    if (auto manager = hotkeyManagerInstance)
        manager->handleHotkey(slot);
    return noErr;
}
