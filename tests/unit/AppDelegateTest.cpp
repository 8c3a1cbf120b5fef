#include "AppScript.h"

#include <algorithm>

TEST_F(AppScript, LaunchShowsTheItemAndMenuBeforeAskingToNotifyAndMakesOneOfEach)
{
    run({ { "launch", "menus=1;title=;icon=drawn;checked=;disabled=;slots=prime,pulse,aria,,;started=" } });
    // Each comes after the one before it.
    auto at = platform->log.begin();
    for (const char* milestone : { "status item", "install handler", "register", "updater started", "button image",
             "button title ''", "store hotkeyChannels", "set menu", "authorize 4" }) {
        at = std::find(at, platform->log.end(), milestone);
        EXPECT_NE(at, platform->log.end()) << milestone << " out of order";
    }
    EXPECT_EQ(platform->log.back(), "authorize 4");
    EXPECT_EQ(platform->statusItems, 1);
    EXPECT_EQ(std::count(platform->log.begin(), platform->log.end(), "register"), 5) << "one hot-key manager";
    EXPECT_EQ(std::count(platform->log.begin(), platform->log.end(), "updater started"), 1);
    // One player, which the menu drives too (as the media commands' tests show).
    EXPECT_EQ(platform->handlers[RemoteCommand::play].size(), 1U) << "one player";
}
