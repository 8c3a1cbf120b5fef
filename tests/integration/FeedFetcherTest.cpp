// FeedFetcher against tests/support/stream_server.py: loopback http is the one plain address it takes.

#include "linux/support/FeedFetcher.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

using namespace zelna::test;

TEST(FeedFetcherTest, FollowsRedirectsWithinTheRulesAndStopsAtTheLimitTheDeadlineOrAnError)
{
    ChildProcess server({ "/usr/bin/python3", ZELNA_SOURCE_DIR "/tests/support/stream_server.py", "--media-dir",
                            ZELNA_BINARY_DIR "/test-media" }, true);
    const std::string base = "http://127.0.0.1:" + server.readLine(60s).value_or("PORT ?").substr(5);
    FeedFetcher fetcher("ZelnaMenu/test", 3s);
    const auto fetch = [&](const std::string& address) {
        std::optional<Result<std::string>> feed;
        fetcher.fetch(address, [&](Result<std::string> result) { feed = std::move(result); });
        EXPECT_TRUE(runMainLoopUntil([&] { return feed.has_value(); }, 20s)) << address;
        return feed ? (*feed ? **feed : "! " + feed->failure().message) : "! nothing";
    };
    // 45 seconds of tone make a file under the limit; 70 s of it at once are past it.
    const std::string file = readFile(ZELNA_BINARY_DIR "/test-media/tone.mp3");
    EXPECT_EQ(fetch(base + "/redirect?to=/redirect%3Fto%3D/short/mp3"), file);
    for (const auto& [path, said] : std::vector<std::pair<std::string, std::string>> {
             { "/404", "The update server answered with status 404 (Not Found)." },
             { "/mp3?burst=70", "The update feed is larger than 1.0\u00a0MiB." },
             { "/silent", "The update server did not answer in time." },
             { "/redirect?to=http://192.0.2.1/feed", "The update server redirected to an address that is not secure." } })
        EXPECT_EQ(fetch(base + path), "! " + said) << path;
    EXPECT_EQ(fetch("http://192.0.2.1/feed"), "! The update feed's address is not a secure (https) one.");
    while (auto line = server.readLine(0ms))
        EXPECT_TRUE(!line->starts_with("REQUEST ") || line->ends_with(" ZelnaMenu/test")) << *line;
}
