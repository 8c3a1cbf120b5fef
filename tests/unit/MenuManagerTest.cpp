#include "AppScript.h"

TEST_F(AppScript, TheMenuListsTheChannelsByCategoryAboveItsFixedItemsAndEveryItemActs)
{
    run({
        { "launch",
            "menu=Zelna Prime,Zelna Pulse,Zelna Aria,Native Voice,-,Zelna Vintage,-,[launch_at_login],"
            "[keyboard_shortcuts],[check_for_updates],-,[quit];checked=;disabled=;icon=drawn;title=" },
        { "choose [check_for_updates]", "updates=1;menus=1" },
        { "choose [quit]", "quits=1" },
    });
    // Every slot's submenu offers none, then every channel, the extra one included.
    for (auto& slot : item(*platform->menu, "[keyboard_shortcuts]").submenu->items()) {
        std::string titles;
        for (const auto& choice : slot.submenu->items())
            titles += (choice.isSeparator() ? "-" : choice.title) + ",";
        EXPECT_EQ(titles, "[hotkey_none],-,Zelna Prime,Zelna Pulse,Zelna Aria,Native Voice,Zelna Vintage,");
    }
}

TEST_F(AppScript, ChoosingAChannelPlaysItAndChoosingItAgainPausesAndResumesIt)
{
    run({
        { "launch", "" },
        { "choose Zelna Pulse",
            "started=pulse;playing=yes;checked=Zelna Pulse;title= Zelna Pulse;now=Zelna Pulse;mpris=1;menus=2" },
        { "choose Zelna Pulse", "started=pulse;playing=no;checked=Zelna Pulse;title= Zelna Pulse;mpris=2" },
        { "choose Zelna Pulse", "started=pulse;playing=yes;mpris=1" },
        { "choose Zelna Vintage", "started=pulse,vintage;checked=Zelna Vintage;title= Zelna Vintage" },
    });
}

TEST_F(AppScript, AssigningASlotStoresAndShowsItLeavesPlaybackAloneAndItsKeyPlaysPausesAndResumes)
{
    run({
        { "launch", "" },
        { "choose Zelna Vintage", "started=vintage;playing=yes" },
        { "assign 4 Zelna Vintage",
            "slots=prime,pulse,aria,vintage,;started=vintage;playing=yes;checked=Zelna Vintage;"
            "marks=Zelna Prime,Zelna Pulse,Zelna Aria,Zelna Vintage,[hotkey_none]" },
        { "press 4", "playing=no;started=vintage" },
        { "press 4", "playing=yes;started=vintage" },
        // A channel in two slots shows the lower one's key; both keys play it.
        { "assign 1 Zelna Aria",
            "slots=aria,pulse,aria,vintage,;hints=Zelna Pulse⌥2,Zelna Aria⌥1,Zelna Vintage⌥4,[quit]^q" },
        { "press 3", "started=vintage,aria;playing=yes" },
        { "press 1", "started=vintage,aria;playing=no" },
        { "assign 4 [hotkey_none]",
            "slots=aria,pulse,aria,,;marks=Zelna Aria,Zelna Pulse,Zelna Aria,[hotkey_none],[hotkey_none]" },
    });
}

TEST_F(AppScript, SlotsClearedThroughTheMenuStayClearedUntilTheNextStart)
{
    run({
        { "launch", "" },
        { "assign 1 [hotkey_none]", "" },
        { "assign 2 [hotkey_none]", "" },
        { "assign 3 [hotkey_none]", "slots=,,,,;hints=[quit]^q" },
        { "choose Zelna Prime", "slots=,,,,;started=prime;menus=5" },
        // An empty slot's key does nothing, not even rebuild the menu.
        { "press 1", "slots=,,,,;started=prime;playing=yes;menus=5" },
        { "relaunch", "slots=prime,pulse,aria,," },
    });
}
