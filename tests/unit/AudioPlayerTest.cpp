#include "AppScript.h"

#include <algorithm>

TEST_F(AppScript, SwitchingPausesTheOldStreamPublishesAndRebuildsThenStartsANewOne)
{
    run({ { "launch", "" }, { "choose Zelna Prime", "" } });
    platform->log.clear();
    perform("choose Native Voice");
    EXPECT_EQ(platform->log,
        (EventLog { "player1.pause",
            "publish MPNowPlayingInfoPropertyIsLiveStream=true MPMediaItemPropertyTitle=Native Voice "
            "MPMediaItemPropertyArtist=Zelna Radio",
            "state 1", "button image", "button title ' Native Voice'", "set menu",
            "make player2 " + std::string(streamBaseURL) + "native", "~player1", "player2.play" }));
}

TEST_F(AppScript, MediaCommandsPauseResumeAndRestartTheCurrentChannel)
{
    run({
        // Answered from the start: before launch, play fails and toggle does nothing.
        { "remote play", "status=200;started=;mpris=-" },
        { "remote toggle", "status=0;started=;mpris=-" },
        { "launch", "" },
        // Nothing plays, yet paused is published and the menu rebuilt; a toggle does nothing at all.
        { "remote pause", "status=0;mpris=2;menus=2;started=" },
        { "remote toggle", "status=0;mpris=2;menus=2;started=" },
        { "choose Zelna Prime", "playing=yes;mpris=1;now=Zelna Prime;started=prime" },
        { "remote toggle", "status=0;playing=no;mpris=2;started=prime" },
        { "remote toggle", "status=0;playing=yes;mpris=1;started=prime" },
        { "remote play", "status=0;playing=yes;mpris=1;started=prime,prime" },
        { "remote pause", "status=0;playing=no;mpris=2" },
        { "remote play", "status=0;playing=yes;mpris=1;started=prime,prime,prime" },
        // Nobody watches the stream: it stays the current channel, and a toggle resumes it.
        { "stream fails", "playing=no;mpris=1;checked=Zelna Prime;title= Zelna Prime" },
        { "remote toggle", "playing=yes;started=prime,prime,prime" },
    });
}

TEST_F(AppScript, AStreamThatStopsForGoodReadsAsPausedOnceAndChoosingItAgainResumesIt)
{
    run({
        { "launch", "" },
        { "choose Zelna Prime", "started=prime;playing=yes;mpris=1;menus=2" },
        { "keep its stop", "" },
        { "choose Zelna Pulse", "started=prime,pulse;playing=yes;menus=3" },
        { "kept stop", "playing=yes;mpris=1;menus=3" },
        { "stream stops", "playing=no;mpris=2;menus=4;checked=Zelna Pulse;title= Zelna Pulse" },
        { "choose Zelna Pulse", "started=prime,pulse;playing=yes;mpris=1;menus=5" },
    });
    EXPECT_EQ(std::ranges::count(platform->log, "state 2"), 1);
}
