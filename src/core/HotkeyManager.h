#pragma once

#include "ports/HotKeys.h"
#include "ports/Preferences.h"

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

/// The five global hot keys Option+1 to Option+5 and the slot store behind them. Slot s (0-4)
/// is key s + 1; a press reaches onHotkeyPressed with the slot. The binding of slots to channel
/// ids lives in the preferences under "hotkeyChannels" and is read afresh by every operation.
class HotkeyManager {
public:
    static constexpr int slotCount = 5;
    static constexpr std::uint32_t hotKeySignature = fourCharCode("ZELN");
    /// The keys of slots 0-4: the number row's 1 to 5.
    static constexpr std::array<std::uint32_t, slotCount> keyCodes = { kVK_ANSI_1, kVK_ANSI_2, kVK_ANSI_3, kVK_ANSI_4,
        kVK_ANSI_5 };

    /// Publishes the manager in hotkeyManagerInstance, installs the event handler and registers
    /// the five keys, in that order. Registration failures leave that slot's key dead.
    static std::shared_ptr<HotkeyManager> make(HotKeys& hotKeys, Preferences& preferences);

    HotkeyManager(const HotkeyManager&) = delete;
    HotkeyManager& operator=(const HotkeyManager&) = delete;

    /// slot is the pressed key's id, widened without change of value (0-4 for our keys).
    void handleHotkey(std::int64_t slot);

    /// The slot's channel id, or none when the slot is beyond the stored array or empty.
    std::optional<std::string> channelId(int slot);
    /// Stores id (or "" for none) at the slot and writes the whole array back.
    void setChannel(std::optional<std::string> id, int slot);
    /// The lowest slot whose stored id equals channelId exactly.
    std::optional<int> slot(std::string_view channelId);
    /// Seeds slots 0-4 from channelIds, but only while no slot holds anything.
    void setDefaults(std::span<const std::string_view> channelIds);

    std::function<void(std::int64_t slot)> onHotkeyPressed;

private:
    HotkeyManager(HotKeys& hotKeys, Preferences& preferences);
    void registerAllHotkeys();
    std::vector<std::string> storedIds();

    HotKeys& m_hotKeys;
    Preferences& m_preferences;
    std::array<EventHotKeyRef, slotCount> m_hotKeyRefs{};
};

/// The handler installed for hot-key-pressed events: reads the event's hot-key id and hands its
/// id, as the slot, to the published manager's callback.
OSStatus hotkeyEventHandler(EventHandlerCallRef nextHandler, EventRef event, void* userData);
