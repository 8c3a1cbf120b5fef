#include "core/HotkeyManager.h"
#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

namespace {

using Array = FakePreferences::Array;
const std::vector<std::string> emptySlots(5, "");

class HotkeyManagerTest : public testing::Test {
protected:
    void SetUp() override
    {
        manager = HotkeyManager::make(platform.hotKeys, platform.preferences);
        manager->onHotkeyPressed = [this](std::int64_t slot) { pressed.push_back(slot); };
    }

    void store(Array array) { platform.preferences.arrays["hotkeyChannels"] = std::move(array); }
    std::vector<std::string> stored() const { return platform.preferences.strings("hotkeyChannels"); }
    std::vector<std::optional<std::string>> allSlots()
    {
        std::vector<std::optional<std::string>> ids;
        for (int slot = 0; slot < 5; ++slot)
            ids.push_back(manager->channelId(slot));
        return ids;
    }

    FakePlatform platform;
    std::shared_ptr<HotkeyManager> manager;
    std::vector<std::int64_t> pressed;
};

} // namespace

TEST_F(HotkeyManagerTest, PublishesThenInstallsThenRegistersTheFiveOptionDigitKeys)
{
    const auto& log = platform.log.entries;
    EXPECT_EQ(log, (std::vector<std::string>{"install handler", "register 18", "register 19", "register 20",
                                             "register 21", "register 23"}));
    ASSERT_EQ(platform.hotKeys.eventTypes.size(), 1U);
    EXPECT_EQ(platform.hotKeys.eventTypes[0].eventClass, fourCharCode("keyb"));
    EXPECT_EQ(platform.hotKeys.eventTypes[0].eventKind, 5U);
    EXPECT_EQ(platform.hotKeys.handlerUserData, nullptr);

    const auto& registered = platform.hotKeys.registered;
    ASSERT_EQ(registered.size(), 5U);
    for (std::uint32_t slot = 0; slot < 5; ++slot) {
        EXPECT_EQ(registered[slot].modifiers, 2048U);
        EXPECT_EQ(registered[slot].id.signature, 0x5A454C4EU) << "'ZELN', first character most significant";
        EXPECT_EQ(registered[slot].id.id, slot);
        EXPECT_EQ(registered[slot].options, 0U);
        EXPECT_EQ(registered[slot].target, platform.hotKeys.getApplicationEventTarget());
    }
}

TEST_F(HotkeyManagerTest, EventHandlerResults)
{
    EventLog log;
    FakeHotKeys keys(log);
    keys.refusedKeyCodes = {19};
    auto second = HotkeyManager::make(keys, platform.preferences);

    // A press before the owner installs its callback is consumed and dropped.
    EXPECT_EQ(keys.press(2), noErr);
    std::vector<std::int64_t> slots;
    second->onHotkeyPressed = [&](std::int64_t slot) { slots.push_back(slot); };

    EXPECT_EQ(keys.handler(nullptr, nullptr, nullptr), eventNotHandledErr);
    EXPECT_EQ(keys.deliver(FakeHotKeyEvent(std::nullopt)), eventParameterNotFoundErr);
    EXPECT_EQ(keys.press(2), noErr);
    EXPECT_EQ(keys.press(4), noErr);
    // Ids beyond the five slots pass through unchanged; the signature is not checked.
    EXPECT_EQ(keys.deliver(FakeHotKeyEvent(EventHotKeyID{fourCharCode("XXXX"), 0xFFFFFFFFU})), noErr);
    EXPECT_EQ(slots, (std::vector<std::int64_t>{2, 4, 0xFFFFFFFFLL}));
    EXPECT_TRUE(pressed.empty()) << "the newest manager replaces the published one";

    // A refused registration fails that slot alone; the others were still registered.
    EXPECT_EQ(keys.registered.size(), 5U);
}

TEST_F(HotkeyManagerTest, ReadRuleNormalisesWhatIsStored)
{
    EXPECT_EQ(allSlots(), std::vector<std::optional<std::string>>(5)) << "no stored value";
    EXPECT_FALSE(manager->slot("prime"));

    store({"prime", std::nullopt});
    EXPECT_EQ(allSlots(), std::vector<std::optional<std::string>>(5)) << "one non-string empties the whole array";

    store({"aria"});
    EXPECT_EQ(allSlots(), (std::vector<std::optional<std::string>>{"aria", {}, {}, {}, {}}));
    EXPECT_FALSE(manager->channelId(5)) << "beyond the padded length";

    store({"a", "b", "c", "d", "e", "f", "only-here"});
    EXPECT_EQ(manager->channelId(6), "only-here");
    EXPECT_EQ(manager->slot("only-here"), 6);
    EXPECT_FALSE(manager->channelId(7));

    store({"", "aria", "", "aria", "nonsense"});
    EXPECT_EQ(manager->slot("aria"), 1) << "the lowest slot wins";
    EXPECT_EQ(manager->channelId(4), "nonsense") << "ids are not validated";
    EXPECT_EQ(platform.preferences.writes, 0) << "reads never write";
}

TEST_F(HotkeyManagerTest, WritesKeepTheStoredLengthAndNeverDropEntries)
{
    store({"aria"});
    manager->setChannel("vintage", 2);
    EXPECT_EQ(stored(), (std::vector<std::string>{"aria", "", "vintage", "", ""}));

    manager->setChannel(std::nullopt, 0);
    EXPECT_EQ(stored(), (std::vector<std::string>{"", "", "vintage", "", ""}));

    store({"a", "b", "c", "d", "e", "f", "g"});
    manager->setChannel("pulse", 1);
    EXPECT_EQ(stored(), (std::vector<std::string>{"a", "pulse", "c", "d", "e", "f", "g"}));

    store({"prime", std::nullopt});
    manager->setChannel("aria", 3);
    EXPECT_EQ(stored(), (std::vector<std::string>{"", "", "", "aria", ""})) << "the normalised array replaces it";
}

TEST_F(HotkeyManagerTest, DefaultsAreSeededOnlyWhileEverySlotIsEmpty)
{
    const std::vector<std::string_view> defaults = {"prime", "pulse", "aria"};
    manager->setDefaults(defaults);
    EXPECT_EQ(stored(), (std::vector<std::string>{"prime", "pulse", "aria", "", ""}));
    EXPECT_EQ(platform.preferences.writes, 3) << "one write per seeded slot";

    store({"", "", "", "", "aria"});
    manager->setDefaults(defaults);
    EXPECT_EQ(stored(), (std::vector<std::string>{"", "", "", "", "aria"}));

    store({"", "", "", "", ""});
    manager->setDefaults(defaults);
    EXPECT_EQ(stored(), (std::vector<std::string>{"prime", "pulse", "aria", "", ""})) << "cleared slots are reseeded";

    store({"prime", std::nullopt});
    manager->setDefaults(defaults);
    EXPECT_EQ(stored(), (std::vector<std::string>{"prime", "pulse", "aria", "", ""})) << "an unreadable value is reseeded";

    platform.preferences.arrays.clear();
    const std::vector<std::string_view> seven = {"1", "2", "3", "4", "5", "6", "7"};
    manager->setDefaults(seven);
    EXPECT_EQ(stored(), (std::vector<std::string>{"1", "2", "3", "4", "5"}));
}
