#include "core/MenuManager.h"
#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

namespace {

const std::string option = "\u2325";

class MenuManagerTest : public testing::Test {
protected:
    void SetUp() override
    {
        player = AudioPlayer::make(platform.playerServices());
        statusItem = std::make_shared<FakeStatusItem>(platform.log, hasButton());
        manager = MenuManager::make(statusItem, player, platform.menuServices());
        manager->start();
    }

    virtual bool hasButton() const { return true; }
    Menu& menu() { return *statusItem->menu; }
    MenuItem& item(std::size_t index) { return menu().items().at(index); }
    MenuItem& slotItem(int slot) { return item(8).submenu->items().at(static_cast<std::size_t>(slot)); }
    MenuItem& slotChoice(int slot, std::size_t index) { return slotItem(slot).submenu->items().at(index); }
    /// Chooses an item the way the status item does: through its target.
    void choose(MenuItem& chosen) { ASSERT_TRUE(sendAction(chosen, application)); }
    void chooseChannel(std::size_t index) { choose(item(index < 4 ? index : index + 1)); }
    std::vector<std::string> titles(const Menu& m)
    {
        std::vector<std::string> result;
        for (const auto& entry : m.items())
            result.push_back(entry.isSeparator() ? "---" : entry.title);
        return result;
    }
    std::vector<std::string> stored() const { return platform.preferences.strings("hotkeyChannels"); }

    FakePlatform platform;
    std::shared_ptr<FakeApplication> application = std::make_shared<FakeApplication>();
    std::shared_ptr<AudioPlayer> player;
    std::shared_ptr<FakeStatusItem> statusItem;
    std::shared_ptr<MenuManager> manager;
};

} // namespace

TEST_F(MenuManagerTest, FirstMenuListsChannelsByCategoryAboveTheFixedItems)
{
    EXPECT_EQ(titles(menu()), (std::vector<std::string>{"Zelna Prime", "Zelna Pulse", "Zelna Aria", "Native Voice", "---",
                                                        "Zelna Vintage", "---", "[launch_at_login]",
                                                        "[keyboard_shortcuts]", "[check_for_updates]", "---", "[quit]"}));

    const std::vector<std::pair<std::size_t, std::int64_t>> channelItems = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {5, 4}};
    const std::vector<std::string> hints = {"1", "2", "3", "", ""};
    for (auto [position, tag] : channelItems) {
        const auto& channel = item(position);
        EXPECT_EQ(channel.action, "channelSelected:");
        EXPECT_EQ(channel.target.lock(), manager);
        EXPECT_EQ(channel.tag, tag);
        EXPECT_EQ(channel.state, NSControlStateValueOff);
        EXPECT_EQ(channel.keyEquivalent, hints[static_cast<std::size_t>(tag)]) << channel.title;
        if (!channel.keyEquivalent.empty()) {
            EXPECT_EQ(channel.keyEquivalentModifierMask, NSEventModifierFlagOption) << "Option alone, no Command";
        }
        EXPECT_FALSE(channel.submenu);
    }

    const auto& login = item(7);
    EXPECT_EQ(login.action, "toggleLaunchAtLogin");
    EXPECT_EQ(login.target.lock(), manager);
    EXPECT_EQ(login.state, NSControlStateValueOff);

    const auto& shortcuts = item(8);
    EXPECT_TRUE(shortcuts.action.empty());
    EXPECT_EQ(shortcuts.tag, 0);
    ASSERT_TRUE(shortcuts.submenu);
    EXPECT_TRUE(isEnabled(shortcuts, application));

    const auto& update = item(9);
    EXPECT_EQ(update.action, "checkForUpdates:");
    EXPECT_EQ(update.target.lock(), platform.updaters.controllers.at(0));
    EXPECT_EQ(platform.updaters.startingFlags, (std::vector<bool>{true}));

    auto& quit = item(11);
    EXPECT_EQ(quit.action, "terminate:");
    EXPECT_FALSE(quit.hasTarget());
    EXPECT_EQ(quit.keyEquivalent, "q");
    EXPECT_EQ(quit.keyEquivalentModifierMask, NSEventModifierFlagCommand);
    EXPECT_TRUE(isEnabled(quit, application));
    choose(quit);
    EXPECT_EQ(application->terminations, 1) << "an item without a target reaches the application";

    choose(item(9));
    EXPECT_EQ(platform.updaters.controllers[0]->checks, 1);
}

TEST_F(MenuManagerTest, SlotSubmenusShowTheSeededDefaults)
{
    EXPECT_EQ(stored(), (std::vector<std::string>{"prime", "pulse", "aria", "", ""}));
    EXPECT_EQ(titles(*item(8).submenu),
              (std::vector<std::string>{option + "1: Zelna Prime", option + "2: Zelna Pulse", option + "3: Zelna Aria",
                                        option + "4: [hotkey_none]", option + "5: [hotkey_none]"}));
    for (int slot = 0; slot < 5; ++slot) {
        const auto& entry = slotItem(slot);
        EXPECT_TRUE(entry.action.empty());
        EXPECT_EQ(entry.tag, 0);
        EXPECT_TRUE(entry.keyEquivalent.empty());
        ASSERT_TRUE(entry.submenu);
        EXPECT_EQ(titles(*entry.submenu), (std::vector<std::string>{"[hotkey_none]", "---", "Zelna Prime", "Zelna Pulse",
                                                                    "Zelna Aria", "Native Voice", "Zelna Vintage"}));
        for (std::size_t index = 0; index < 7; ++index) {
            if (index == 1)
                continue;
            const auto& choice = slotChoice(slot, index);
            EXPECT_EQ(choice.action, "assignHotkey:");
            EXPECT_EQ(choice.target.lock(), manager);
            EXPECT_EQ(choice.tag, slot * 100000 + (index == 0 ? 0 : static_cast<std::int64_t>(index) - 1));
            const bool expectedOn = (slot < 3) ? index == static_cast<std::size_t>(slot) + 2 : index == 0;
            EXPECT_EQ(choice.state, expectedOn ? NSControlStateValueOn : NSControlStateValueOff) << slot << "/" << index;
        }
    }
    EXPECT_EQ(slotChoice(4, 6).tag, 400005);
}

TEST_F(MenuManagerTest, ChoosingChannelsPlaysPausesResumesAndSwitches)
{
    chooseChannel(1);
    EXPECT_EQ(platform.mediaPlayers.startedUrls.size(), 1U);
    EXPECT_EQ(item(1).state, NSControlStateValueOn);
    EXPECT_EQ(item(0).state, NSControlStateValueOff);

    chooseChannel(1);
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(item(1).state, NSControlStateValueOn) << "a paused current channel keeps its checkmark";

    chooseChannel(1);
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(platform.mediaPlayers.startedUrls.size(), 1U) << "resumed, never restarted";

    chooseChannel(4);
    EXPECT_EQ(platform.mediaPlayers.startedUrls.back(), ZelnaChannel::allChannels[4].streamURL().absoluteString);
    EXPECT_EQ(item(5).state, NSControlStateValueOn);
    EXPECT_EQ(item(1).state, NSControlStateValueOff);
    EXPECT_EQ(statusItem->menusSet, 5) << "every playback change rebuilds the whole menu";
}

TEST_F(MenuManagerTest, APlayerThatStopsForGoodReadsAsPausedAndChoosingTheChannelResumesIt)
{
    chooseChannel(0);
    const auto replacedPlayersStop = platform.mediaPlayers.newest->onStop;
    chooseChannel(1);
    const int menus = statusItem->menusSet;
    replacedPlayersStop();
    EXPECT_EQ(statusItem->menusSet, menus) << "a replaced player has nothing to say";
    EXPECT_TRUE(player->isPlaying());

    platform.mediaPlayers.newest->stopForGood();
    EXPECT_EQ(platform.nowPlaying.states, (std::vector<int>{1, 1, 2}));
    EXPECT_EQ(statusItem->menusSet, menus + 1);
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(item(1).state, NSControlStateValueOn) << "the stopped channel stays current";

    chooseChannel(1);
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(platform.nowPlaying.states.back(), 1);
    EXPECT_EQ(platform.mediaPlayers.startedUrls.size(), 2U) << "resumed on the same player, which reopens its stream itself";
}

TEST_F(MenuManagerTest, ChannelItemWithAnInvalidTagDoesNothing)
{
    for (std::int64_t tag : {-1LL, 5LL, 100000LL}) {
        MenuItem forged = item(0);
        forged.tag = tag;
        choose(forged);
    }
    EXPECT_TRUE(platform.mediaPlayers.startedUrls.empty());
    EXPECT_EQ(statusItem->menusSet, 1);
}

TEST_F(MenuManagerTest, AssigningSlotsStoresAndRebuilds)
{
    choose(slotChoice(3, 6)); // slot 3 ← the fifth channel
    EXPECT_EQ(stored(), (std::vector<std::string>{"prime", "pulse", "aria", "vintage", ""}));
    EXPECT_EQ(slotItem(3).title, option + "4: Zelna Vintage");
    EXPECT_EQ(item(5).keyEquivalent, "4");

    choose(slotChoice(0, 4)); // slot 0 ← aria, which slot 2 holds too
    EXPECT_EQ(stored(), (std::vector<std::string>{"aria", "pulse", "aria", "vintage", ""}));
    EXPECT_EQ(item(2).keyEquivalent, "1") << "the lower slot's number";
    EXPECT_EQ(item(0).keyEquivalent, "") << "prime is bound to no slot";

    choose(slotChoice(3, 0)); // slot 3 ← none
    EXPECT_EQ(stored()[3], "");
    EXPECT_EQ(slotItem(3).title, option + "4: [hotkey_none]");
    EXPECT_EQ(slotChoice(3, 0).state, NSControlStateValueOn);
    EXPECT_TRUE(platform.mediaPlayers.startedUrls.empty()) << "assignment never touches playback";

    MenuItem forged = slotChoice(1, 2);
    for (std::int64_t tag : {100006LL, 500001LL, -1LL}) {
        forged.tag = tag;
        choose(forged);
    }
    EXPECT_EQ(stored(), (std::vector<std::string>{"aria", "pulse", "aria", "", ""})) << "foreign tags store nothing";
}

TEST_F(MenuManagerTest, SlotHoldingAnUnknownIdShowsNoneWithNothingChecked)
{
    platform.preferences.arrays["hotkeyChannels"] = {"prime", "gone", "", "", ""};
    choose(item(7)); // any rebuild
    EXPECT_EQ(slotItem(1).title, option + "2: [hotkey_none]");
    for (std::size_t index = 0; index < 7; ++index)
        EXPECT_EQ(slotChoice(1, index).state, NSControlStateValueOff) << index;

    EXPECT_EQ(platform.hotKeys.press(1), noErr);
    EXPECT_TRUE(platform.mediaPlayers.startedUrls.empty());
}

TEST_F(MenuManagerTest, HotKeysPlayPauseAndResumeTheirSlotsChannel)
{
    auto& keys = platform.hotKeys;
    keys.press(0);
    EXPECT_EQ(player->currentChannel()->id, "prime");
    keys.press(0);
    EXPECT_FALSE(player->isPlaying());
    keys.press(0);
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(platform.mediaPlayers.startedUrls.size(), 1U);

    keys.press(1);
    EXPECT_EQ(player->currentChannel()->id, "pulse");
    EXPECT_EQ(platform.mediaPlayers.startedUrls.size(), 2U);

    keys.press(3);
    keys.press(4);
    keys.press(7);
    EXPECT_EQ(platform.mediaPlayers.startedUrls.size(), 2U) << "empty and unknown slots do nothing";
    EXPECT_EQ(item(1).state, NSControlStateValueOn);
}

TEST_F(MenuManagerTest, LaunchAtLoginTogglesOnTheReportedStatus)
{
    auto& login = platform.loginItems;
    choose(item(7));
    EXPECT_EQ(login.calls, (std::vector<std::string>{"register"}));
    EXPECT_EQ(item(7).state, NSControlStateValueOn);

    choose(item(7));
    EXPECT_EQ(login.calls.back(), "unregister");
    EXPECT_EQ(item(7).state, NSControlStateValueOff);

    for (auto status : {SMAppServiceStatus::requiresApproval, SMAppServiceStatus::notFound}) {
        login.currentStatus = status;
        login.failsCalls = true;
        const int menus = statusItem->menusSet;
        choose(item(7));
        EXPECT_EQ(login.calls.back(), "register") << "any status but enabled asks to register";
        EXPECT_EQ(statusItem->menusSet, menus + 1) << "a failure still rebuilds";
        EXPECT_EQ(item(7).state, NSControlStateValueOff);
    }
}

TEST_F(MenuManagerTest, StatusImageIsFlagThenSymbolNeverATemplate)
{
    auto& graphics = platform.graphics;
    auto check = [&](Size flag, double height, double flagY, double symbolY) {
        const auto& image = *graphics.images.back();
        EXPECT_EQ(image.size(), (Size{flag.width + 14.0, height}));
        EXPECT_FALSE(image.isTemplate());
        ASSERT_EQ(image.drawings.size(), 2U);
        EXPECT_EQ(image.drawings[0].what, "\U0001F1FF\U0001F1F1");
        EXPECT_EQ(image.drawings[0].rect.origin, (Point{0.0, flagY}));
        EXPECT_EQ(image.drawings[0].font, Font{14.0});
        EXPECT_EQ(image.drawings[1].what, "symbol");
        EXPECT_EQ(image.drawings[1].rect, (Rect{{flag.width + 2.0, symbolY}, {12.0, 12.0}}));
        EXPECT_TRUE(image.drawings[0].wasFocused && image.drawings[1].wasFocused);
    };
    check(graphics.flagSize, 17.0, 0.0, 2.5);
    EXPECT_EQ(graphics.symbolRequests.back(), "antenna.radiowaves.left.and.right");
    EXPECT_FALSE(graphics.symbolDescriptions.back());
    EXPECT_EQ(graphics.measuredFonts.back(), Font{14.0});

    graphics.flagSize = {18.0, 10.0};
    chooseChannel(0);
    check(graphics.flagSize, 12.0, 1.0, 0.0);

    graphics.hasSymbol = false;
    chooseChannel(0);
    const auto& image = *graphics.images.back();
    EXPECT_EQ(image.size(), (Size{32.0, 12.0})) << "the symbol's room stays when it is missing";
    EXPECT_EQ(image.drawings.size(), 1U);
}

TEST_F(MenuManagerTest, StatusTitleShowsTheCurrentChannelInTheSmallFont)
{
    auto& button = statusItem->fakeButton();
    EXPECT_EQ(button.title, "");
    EXPECT_FALSE(button.font);
    EXPECT_TRUE(button.image);

    chooseChannel(1);
    EXPECT_EQ(button.title, " Zelna Pulse");
    EXPECT_EQ(button.font, Font{11.0});
    chooseChannel(1);
    EXPECT_EQ(button.title, " Zelna Pulse") << "paused still shows the name";
    platform.remoteCommands.send(RemoteCommand::pause);
    EXPECT_EQ(button.title, " Zelna Pulse");
    chooseChannel(2);
    EXPECT_EQ(button.title, " Zelna Aria");
}

class MenuManagerWithoutButtonTest : public MenuManagerTest {
    bool hasButton() const override { return false; }
};

TEST_F(MenuManagerWithoutButtonTest, BuildsTheMenuWithoutTouchingTheButton)
{
    player->play(ZelnaChannel::allChannels[0]);
    EXPECT_EQ(statusItem->menusSet, 2);
    EXPECT_TRUE(platform.graphics.images.empty()) << "no image is drawn for a missing button";
}

TEST_F(MenuManagerTest, CallbacksHoldTheManagerWeakly)
{
    std::weak_ptr<MenuManager> weak = manager;
    manager.reset();
    EXPECT_TRUE(weak.expired());

    player->play(ZelnaChannel::allChannels[0]);
    platform.hotKeys.press(1);
    EXPECT_EQ(statusItem->menusSet, 1) << "a gone manager rebuilds nothing";
    EXPECT_EQ(player->currentChannel()->id, "prime");
}
