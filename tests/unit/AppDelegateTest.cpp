#include "core/AppDelegate.h"
#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST(AppDelegateTest, PlayerAnswersMediaCommandsBeforeLaunchWithoutEffect)
{
    FakePlatform platform;
    AppDelegate delegate(platform.delegateServices());

    EXPECT_TRUE(platform.statusBar.items.empty());
    EXPECT_EQ(platform.remoteCommands.handlers[RemoteCommand::play].size(), 1U);
    EXPECT_EQ(platform.remoteCommands.send(RemoteCommand::play), 200);
    EXPECT_EQ(platform.remoteCommands.send(RemoteCommand::togglePlayPause), 0);
    EXPECT_TRUE(platform.mediaPlayers.startedUrls.empty());
}

TEST(AppDelegateTest, LaunchMakesOneItemAndMenuBeforeAskingToNotify)
{
    FakePlatform platform;
    AppDelegate delegate(platform.delegateServices());
    delegate.applicationDidFinishLaunching();

    ASSERT_EQ(platform.statusBar.items.size(), 1U);
    EXPECT_EQ(platform.statusBar.lengths, (std::vector<double>{-1.0}));
    EXPECT_EQ(platform.updaters.controllers.size(), 1U);
    EXPECT_EQ(platform.hotKeys.registered.size(), 5U) << "one hotkey manager";
    EXPECT_EQ(platform.notifications.requestedOptions, (std::vector<std::uint32_t>{4}));

    const auto& log = platform.log.entries;
    const auto position = [&](const std::string& entry) { return std::find(log.begin(), log.end(), entry) - log.begin(); };
    EXPECT_LT(position("status item"), position("install handler"));
    EXPECT_LT(position("button image"), position("set menu"));
    EXPECT_LT(position("set menu"), position("request authorization"));
    EXPECT_EQ(log.back(), "request authorization");

    // The answer, whatever it is, changes nothing; the menu drives the delegate's own player.
    platform.notifications.completions.at(0)(false, std::string("refused"));
    auto& item = *platform.statusBar.items[0];
    auto application = std::make_shared<FakeApplication>();
    ASSERT_TRUE(sendAction(item.menu->items().at(0), application));
    EXPECT_EQ(platform.mediaPlayers.startedUrls.size(), 1U);
    EXPECT_EQ(platform.remoteCommands.send(RemoteCommand::togglePlayPause), 0);
    EXPECT_EQ(item.menu->items().at(0).state, NSControlStateValueOn) << "media commands reach the menu's player";
    EXPECT_EQ(item.fakeButton().title, " Zelna Prime");
}
