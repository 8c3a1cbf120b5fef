// The pure half of the update checks: version order, appcast reading, address rules and the
// background schedule's arithmetic.

#include "linux/AppcastFeed.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(VersionComparison, OrdersSegmentBySegmentWithPreReleasesFirst)
{
    // Each pair is in ascending order, or equal when marked so.
    const std::tuple<const char*, const char*, bool> rows[] = {
        {"1.9", "1.10", false},      {"2.0", "2.0.0", true},         {"2.0", "2.0.1", false},
        {"1.0b2", "1.0", false},     {"1.0-rc.1", "1.0", false},     {"1.0-beta", "1.0.1", false},
        {"1.0b3", "1.0rc1", false},  {"1.0-BETA", "1.0-beta", true}, {"1.0-beta.2", "1.0-beta.10", false},
        {"v1.2", "1.2", true},       {"1.2+build.5", "1.2", true},   {"010.1", "10.1", true},
        {"99999999999999999998.9", "99999999999999999999.0", false},
    };
    for (const auto& [lower, higher, isEqual] : rows) {
        const auto expected = isEqual ? std::strong_ordering::equal : std::strong_ordering::less;
        EXPECT_EQ(compareVersions(lower, higher), expected) << lower << " vs " << higher;
        EXPECT_EQ(compareVersions(higher, lower), 0 <=> expected) << higher << " vs " << lower;
    }
}

TEST(AppcastParsing, ReadsVersionAndLinkLeavingOutItemsWithoutVersionOrOnAChannel)
{
    std::string error;
    const auto items = parseAppcast(R"xml(<rss xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>
<item><enclosure url="https://example.org/1.2.tgz" sparkle:version="1.2" sparkle:shortVersionString="1.2 (Spring)"/></item>
<item><sparkle:version>1.3</sparkle:version><sparkle:shortVersionString>1.3 final</sparkle:shortVersionString>
  <link>https://example.org/release-1.3</link><enclosure url="https://example.org/1.3.tgz" sparkle:version="1.2.9"/></item>
<item><sparkle:shortVersionString> 1.4 </sparkle:shortVersionString><link>
    https://example.org/release-1.4 </link></item>
<item><title>No version</title><link>https://example.org/a</link><enclosure url="https://example.org/a.tgz"/></item>
<item><sparkle:version>  </sparkle:version></item>
<item><sparkle:version>9.0-beta</sparkle:version><sparkle:channel>beta</sparkle:channel></item>
<item><sparkle:version>2.0</sparkle:version></item>
</channel></rss>)xml", error);
    const std::vector<AppcastItem> expected = {
        {"1.2", "1.2 (Spring)", "https://example.org/1.2.tgz"},
        {"1.3", "1.3 final", "https://example.org/1.3.tgz"},
        {"1.4", "1.4", "https://example.org/release-1.4"},
        {"2.0", "2.0", ""},
    };
    EXPECT_EQ(items, expected) << error;
}

TEST(AppcastParsing, ResolvesNamespacesAndDecodesEntitiesCdataAndByteOrderMark)
{
    // The Sparkle namespace under another prefix counts; a foreign "version" and atom:link do not.
    std::string error;
    const auto items = parseAppcast("\xEF\xBB\xBF" R"xml(<rss xmlns:sp="http://www.andymatuschak.org/xml-namespaces/sparkle"
     xmlns:atom="http://www.w3.org/2005/Atom" xmlns:other="urn:example:other"><channel>
  <item><other:version>7.0</other:version><atom:link href="https://example.org/wrong"/>
    <description><![CDATA[<p>New: <b>things</b> & more</p>]]></description>
    <sp:version><![CDATA[2.1]]></sp:version><sp:shortVersionString>2.1 &#x201C;Zelna&#x201D; &amp; co</sp:shortVersionString>
    <link>https://example.org/get?file=zelnamenu&amp;v=2.1&#38;os=linux</link></item>
  <item xmlns:sp="urn:example:not-sparkle"><sp:version>8.0</sp:version></item>
</channel></rss>)xml", error);
    const std::vector<AppcastItem> expected = {
        {"2.1", "2.1 \u201CZelna\u201D & co", "https://example.org/get?file=zelnamenu&v=2.1&os=linux"}};
    EXPECT_EQ(items, expected) << error;
    // The customary prefix counts even when the feed forgets to declare it.
    const auto undeclared = parseAppcast("<rss><channel><item><sparkle:version>1.6</sparkle:version></item></channel></rss>", error);
    EXPECT_EQ(undeclared, (std::vector<AppcastItem>{{"1.6", "1.6", ""}})) << error;
}

TEST(AppcastParsing, RejectsWhatIsNotWellFormedAndFindsNothingInOtherDocuments)
{
    std::string error;
    for (std::string_view malformed : {"", "<rss><channel><item></item></channel>", "<html><body>Not found<br></body></html>",
                                       "<rss><channel>&nbsp;</channel></rss>", "<rss><channel><title>caf\xE9</title></channel></rss>"}) {
        error.clear();
        EXPECT_FALSE(parseAppcast(malformed, error)) << malformed;
        EXPECT_FALSE(error.empty()) << malformed;
    }
    EXPECT_EQ(parseAppcast("<feed xmlns=\"http://www.w3.org/2005/Atom\"><entry/></feed>", error), std::vector<AppcastItem>{});
}

TEST(AppcastParsing, NewestItemIsTheHighestVersionNotTheFirst)
{
    const std::vector<AppcastItem> items = {{"1.9", "", "a"}, {"1.10", "", "b"}, {"1.10.0", "", "c"}, {"1.10-rc1", "", "d"}};
    EXPECT_EQ(newestItem(items), &items[1]);
    EXPECT_EQ(newestItem({}), nullptr);
}

TEST(AppcastAddresses, FeedNeedsHttpsUnlessLoopbackAndLinksNeedHttp)
{
    for (const char* allowed : {"HTTPS://zelna.radio/a", "http://127.8.9.10/feed", "http://localhost/f", "http://[::1]:99/f"})
        EXPECT_TRUE(isAllowedFeedAddress(allowed)) << allowed;
    for (const char* refused : {"http://zelna.radio/a", "http://localhost.zelna.radio/f", "file:///etc/passwd", "https:///f"})
        EXPECT_FALSE(isAllowedFeedAddress(refused)) << refused;
    EXPECT_TRUE(isOpenableLink("http://zelna.radio/zelnamenu.deb"));
    for (const char* refused : {"file:///home/user/.bashrc", "javascript:alert(1)", "release.tar.gz"})
        EXPECT_FALSE(isOpenableLink(refused)) << refused;
}

TEST(BackgroundSchedule, WaitsForTheFirstDelayThenAnIntervalAfterTheLastCheck)
{
    const std::int64_t startSeconds = 1'700'000'000;
    const std::chrono::milliseconds start = std::chrono::seconds(startSeconds), day = 24h;
    using Row = std::tuple<const char*, std::optional<std::int64_t>, std::chrono::milliseconds, std::chrono::milliseconds>;
    const Row rows[] = {
        {"never checked, just started", std::nullopt, start, 1min},
        {"never checked, a while after start", std::nullopt, start + 2min, 0ms},
        {"checked long ago", startSeconds - 3 * 86400, start, 1min},
        {"checked an hour ago", startSeconds - 3600, start, day - 1h},
        {"checked seconds before start", startSeconds - 10, start + 1min, day - 10s - 1min},
        {"clock set back: last check in the future", startSeconds + 5 * 86400, start, day},
        {"nonsense in the store", -5, start, 1min},
    };
    for (const auto& [what, lastCheck, now, expected] : rows)
        EXPECT_EQ(backgroundCheckDelay(lastCheck, now, start, 1min, day), expected) << what;
}
