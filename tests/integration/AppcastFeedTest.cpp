// The pure half of the update checks: version order, appcast reading, address rules and the
// background schedule's arithmetic.

#include "linux/AppcastFeed.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(AppcastFeedTest, VersionsCompareSegmentBySegmentWithPreReleasesFirst)
{
    // Each pair is in ascending order, or equal when marked so.
    const std::tuple<const char*, const char*, bool> rows[] = {
        { "1.9", "1.10", false }, { "2.0", "2.0.0", true }, { "2.0", "2.0.1", false }, { "1.0b2", "1.0", false },
        { "1.0-rc.1", "1.0", false }, { "1.0-beta", "1.0.1", false }, { "1.0b3", "1.0rc1", false },
        { "1.0-BETA", "1.0-beta", true }, { "1.0-beta.2", "1.0-beta.10", false }, { "v1.2", "1.2", true },
        { "1.2+build.5", "1.2", true }, { "010.1", "10.1", true }, { "99999999999999999998.9", "99999999999999999999.0", false },
    };
    for (const auto& [lower, higher, isEqual] : rows) {
        const auto expected = isEqual ? std::strong_ordering::equal : std::strong_ordering::less;
        EXPECT_EQ(compareVersions(lower, higher), expected) << lower << " vs " << higher;
        EXPECT_EQ(compareVersions(higher, lower), 0 <=> expected) << higher << " vs " << lower;
    }
}

TEST(AppcastFeedTest, ItemsGiveTheirVersionAndLinkInSparklesNamespaceAndOthersAreLeftOut)
{
    std::string error;
    const auto items = parseAppcast("\xEF\xBB\xBF" R"xml(<rss xmlns:sp="http://www.andymatuschak.org/xml-namespaces/sparkle"
     xmlns:other="urn:example:other"><channel>
<item><enclosure url="https://example.org/1.2.tgz" sp:version="1.2" sp:shortVersionString="1.2 (Spring)"/></item>
<item><sp:version>1.3</sp:version><sp:shortVersionString>1.3 &#x201C;final&#x201D; &amp; co</sp:shortVersionString>
  <link>https://example.org/release-1.3</link><enclosure url="https://example.org/1.3.tgz" sp:version="1.2.9"/></item>
<item><sp:shortVersionString> 1.4 </sp:shortVersionString><link> https://e.org/get?a=1&amp;b=2 </link></item>
<item><title>No version</title><other:version>7.0</other:version><enclosure url="https://example.org/a.tgz"/></item>
<item><sp:version><![CDATA[2.0]]></sp:version></item><item><sp:version>  </sp:version></item>
<item><sp:version>9.0-beta</sp:version><sp:channel>beta</sp:channel></item>
<item xmlns:sp="urn:example:not-sparkle"><sp:version>8.0</sp:version></item>
</channel></rss>)xml", error);
    EXPECT_EQ(items, (std::vector<AppcastItem> { { "1.2", "1.2 (Spring)", "https://example.org/1.2.tgz" },
                         { "1.3", "1.3 \u201Cfinal\u201D & co", "https://example.org/1.3.tgz" },
                         { "1.4", "1.4", "https://e.org/get?a=1&b=2" }, { "2.0", "2.0", "" } }))
        << error;
    // The customary prefix counts even when the feed forgets to declare it.
    EXPECT_EQ(parseAppcast("<rss><channel><item><sparkle:version>1.6</sparkle:version></item></channel></rss>", error),
        (std::vector<AppcastItem> { { "1.6", "1.6", "" } }));
    EXPECT_EQ(newestItem(*items), &(*items)[3]);
    const std::vector<AppcastItem> equals = { { "1.10", "", "b" }, { "1.10.0", "", "c" }, { "1.10-rc1", "", "d" } };
    EXPECT_EQ(newestItem(equals), &equals[0]) << "the first of equals";
    EXPECT_EQ(newestItem({}), nullptr);
}

TEST(AppcastFeedTest, WhatIsNotWellFormedIsRejectedWithAReason)
{
    for (std::string_view malformed : { "", "<rss><channel><item></item></channel>", "<html><body>Gone<br></body></html>",
             "<rss><channel>&nbsp;</channel></rss>", "<rss><channel><title>caf\xE9</title></channel></rss>" }) {
        std::string error;
        EXPECT_TRUE(!parseAppcast(malformed, error) && !error.empty()) << malformed;
    }
}

TEST(AppcastFeedTest, ABackgroundCheckWaitsForTheFirstDelayThenAnIntervalAfterTheLastCheck)
{
    const std::int64_t started = 1'700'000'000;
    const std::chrono::milliseconds start = std::chrono::seconds(started), day = 24h;
    const std::tuple<const char*, std::optional<std::int64_t>, std::chrono::milliseconds, std::chrono::milliseconds> rows[] = {
        { "never checked, just started", std::nullopt, start, 1min },
        { "never checked, a while after start", std::nullopt, start + 2min, 0ms },
        { "checked long ago", started - 3 * 86400, start, 1min },
        { "checked an hour ago", started - 3600, start, day - 1h },
        { "checked seconds before start", started - 10, start + 1min, day - 10s - 1min },
        { "clock set back: last check in the future", started + 5 * 86400, start, day },
        { "nonsense in the store", -5, start, 1min },
    };
    for (const auto& [what, lastCheck, now, expected] : rows)
        EXPECT_EQ(backgroundCheckDelay(lastCheck, now, start, 1min, day), expected) << what;
}
