// The pure half of the update checks: version order, appcast reading, address rules and the
// background schedule's arithmetic.

#include "linux/AppcastFeed.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

std::vector<AppcastItem> parsed(std::string_view xml)
{
    std::string error;
    auto items = parseAppcast(xml, error);
    EXPECT_TRUE(items) << error;
    return items.value_or(std::vector<AppcastItem>());
}

constexpr std::string_view rssOpening = R"xml(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
<channel><title>ZelnaMenu</title>
)xml";
constexpr std::string_view rssClosing = "</channel></rss>\n";

std::string feed(std::string_view items)
{
    return std::string(rssOpening) + std::string(items) + std::string(rssClosing);
}

} // namespace

TEST(VersionComparison, OrdersSegmentBySegmentWithPreReleasesFirst)
{
    struct Row {
        const char* left;
        const char* right;
        std::strong_ordering expected;
    };
    const Row rows[] = {
        {"1.10", "1.9", std::strong_ordering::greater},
        {"2.0", "2.0.0", std::strong_ordering::equal},
        {"2.0.1", "2.0", std::strong_ordering::greater},
        {"0.1.0", "0.1.0", std::strong_ordering::equal},
        {"1.0b2", "1.0", std::strong_ordering::less},
        {"1.0-rc.1", "1.0", std::strong_ordering::less},
        {"1.0.0-beta", "1.0", std::strong_ordering::less},
        {"1.0-beta", "1.0.1", std::strong_ordering::less},
        {"1.0-beta.2", "1.0-beta.10", std::strong_ordering::less},
        {"1.0-alpha", "1.0-beta", std::strong_ordering::less},
        {"1.0rc1", "1.0b3", std::strong_ordering::greater},
        {"1.0-BETA", "1.0-beta", std::strong_ordering::equal},
        {"v1.2", "1.2", std::strong_ordering::equal},
        {"1.2+build.5", "1.2", std::strong_ordering::equal},
        {"010.1", "10.1", std::strong_ordering::equal},
        {"99999999999999999999.0", "99999999999999999998.9", std::strong_ordering::greater},
        {"", "0", std::strong_ordering::equal},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(compareVersions(row.left, row.right), row.expected) << row.left << " vs " << row.right;
        EXPECT_EQ(compareVersions(row.right, row.left), 0 <=> (row.expected <=> 0)) << row.right << " vs " << row.left;
    }
}

TEST(AppcastParsing, ReadsVersionAndLinkFromEnclosureOrItem)
{
    const auto items = parsed(feed(R"xml(
<item><title>Attributes</title>
  <enclosure url="https://example.org/zelnamenu-1.2.tar.gz" sparkle:version="1.2" sparkle:shortVersionString="1.2 (Spring)" length="10" type="application/gzip"/>
</item>
<item><title>Elements win</title>
  <sparkle:version>1.3</sparkle:version>
  <sparkle:shortVersionString>1.3 final</sparkle:shortVersionString>
  <link>https://example.org/release-1.3</link>
  <enclosure url="https://example.org/zelnamenu-1.3.tar.gz" sparkle:version="1.2.9"/>
</item>
<item><title>Short version and link only</title>
  <sparkle:shortVersionString> 1.4 </sparkle:shortVersionString>
  <link>
    https://example.org/release-1.4
  </link>
</item>)xml"));
    const std::vector<AppcastItem> expected = {
        {"1.2", "1.2 (Spring)", "https://example.org/zelnamenu-1.2.tar.gz"},
        {"1.3", "1.3 final", "https://example.org/zelnamenu-1.3.tar.gz"},
        {"1.4", "1.4", "https://example.org/release-1.4"},
    };
    EXPECT_EQ(items, expected);
}

TEST(AppcastParsing, LeavesOutItemsWithoutVersionAndOnNamedChannels)
{
    const auto items = parsed(feed(R"xml(
<item><title>No version</title><link>https://example.org/a</link><enclosure url="https://example.org/a.tgz"/></item>
<item><sparkle:version>  </sparkle:version><link>https://example.org/blank</link></item>
<item><sparkle:version>9.0-beta</sparkle:version><sparkle:channel>beta</sparkle:channel></item>
<item><sparkle:version>2.0</sparkle:version></item>)xml"));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].version, "2.0");
    EXPECT_EQ(items[0].link, "");
}

TEST(AppcastParsing, ResolvesNamespacePrefixesInsteadOfMatchingNames)
{
    // The Sparkle namespace under another prefix counts; a foreign "version" and atom:link do not;
    // the customary prefix is accepted even when the feed forgets to declare it.
    const auto items = parsed(R"xml(<rss version="2.0" xmlns:sp="http://www.andymatuschak.org/xml-namespaces/sparkle"
     xmlns:atom="http://www.w3.org/2005/Atom" xmlns:other="urn:example:other" xmlns:dc="http://purl.org/dc/elements/1.1/">
<channel>
  <atom:link href="https://example.org/appcast.xml" rel="self"/>
  <item>
    <other:version>7.0</other:version>
    <atom:link href="https://example.org/wrong"/>
    <dc:date>2024-05-01</dc:date>
    <sp:version>1.5</sp:version>
    <link>https://example.org/right</link>
  </item>
  <item xmlns:sp="urn:example:not-sparkle"><sp:version>8.0</sp:version></item>
</channel></rss>)xml");
    const std::vector<AppcastItem> expected = {{"1.5", "1.5", "https://example.org/right"}};
    EXPECT_EQ(items, expected);

    const auto undeclared = parsed(R"xml(<rss version="2.0"><channel><item><sparkle:version>1.6</sparkle:version></item></channel></rss>)xml");
    ASSERT_EQ(undeclared.size(), 1u);
    EXPECT_EQ(undeclared[0].version, "1.6");
}

TEST(AppcastParsing, DecodesEntitiesCdataAndByteOrderMark)
{
    const auto items = parsed("\xEF\xBB\xBF" + feed(R"xml(
<item>
  <description><![CDATA[<p>New: <b>things</b> & more</p>]]></description>
  <sparkle:version><![CDATA[2.1]]></sparkle:version>
  <sparkle:shortVersionString>2.1 &#x201C;Zelna&#x201D; &amp; co</sparkle:shortVersionString>
  <enclosure url="https://example.org/get?file=zelnamenu&amp;v=2.1&#38;os=linux"/>
</item>)xml"));
    const std::vector<AppcastItem> expected = {
        {"2.1", "2.1 \u201CZelna\u201D & co", "https://example.org/get?file=zelnamenu&v=2.1&os=linux"}};
    EXPECT_EQ(items, expected);
}

TEST(AppcastParsing, RejectsWhatIsNotWellFormedAndFindsNothingInOtherDocuments)
{
    for (std::string_view malformed : {
             std::string_view(""),
             std::string_view("<rss><channel><item><sparkle:version>1.0</sparkle:version></item></channel>"),
             std::string_view("<html><body>Not found<br></body></html>"),
             std::string_view("<rss><channel>&nbsp;</channel></rss>"),
             std::string_view("<rss><channel><title>caf\xE9</title></channel></rss>"),
         }) {
        std::string error;
        EXPECT_FALSE(parseAppcast(malformed, error)) << malformed;
        EXPECT_FALSE(error.empty()) << malformed;
    }
    EXPECT_TRUE(parsed("<feed xmlns=\"http://www.w3.org/2005/Atom\"><entry/></feed>").empty());
    EXPECT_TRUE(parsed("<rss><item><sparkle:version>1.0</sparkle:version></item></rss>").empty());
}

TEST(AppcastParsing, NewestItemIsTheHighestVersionNotTheFirst)
{
    const std::vector<AppcastItem> items = {
        {"1.9", "1.9", "a"}, {"1.10", "1.10", "b"}, {"1.10.0", "1.10.0", "c"}, {"1.10-rc1", "1.10-rc1", "d"}};
    ASSERT_TRUE(newestItem(items));
    EXPECT_EQ(newestItem(items)->link, "b");
    EXPECT_EQ(newestItem({}), nullptr);
}

TEST(AppcastAddresses, FeedNeedsHttpsUnlessLoopbackAndLinksNeedHttp)
{
    for (const char* allowed : {"https://zelna.radio/appcast.xml", "HTTPS://zelna.radio/a", "http://127.0.0.1:8080/feed",
                                "http://127.8.9.10/feed", "http://localhost/feed", "http://[::1]:99/feed"})
        EXPECT_TRUE(isAllowedFeedAddress(allowed)) << allowed;
    for (const char* refused : {"http://zelna.radio/appcast.xml", "http://localhost.zelna.radio/feed",
                                "http://10.0.0.1/feed", "ftp://zelna.radio/feed", "file:///etc/passwd", "appcast.xml",
                                "https:///nohost", ""})
        EXPECT_FALSE(isAllowedFeedAddress(refused)) << refused;

    for (const char* openable : {"https://zelna.radio/download", "http://zelna.radio/zelnamenu.deb"})
        EXPECT_TRUE(isOpenableLink(openable)) << openable;
    for (const char* refused : {"file:///home/user/.bashrc", "javascript:alert(1)", "smb://host/share", "release.tar.gz", ""})
        EXPECT_FALSE(isOpenableLink(refused)) << refused;
}

TEST(BackgroundSchedule, WaitsForTheFirstDelayThenAnIntervalAfterTheLastCheck)
{
    const auto start = std::chrono::milliseconds(std::chrono::seconds(1'700'000'000));
    const auto minute = std::chrono::milliseconds(1min);
    const auto day = std::chrono::milliseconds(24h);
    const std::int64_t startSeconds = 1'700'000'000;
    struct Row {
        const char* what;
        std::optional<std::int64_t> lastCheck;
        std::chrono::milliseconds now;
        std::chrono::milliseconds expected;
    };
    const Row rows[] = {
        {"never checked, just started", std::nullopt, start, minute},
        {"never checked, a while after start", std::nullopt, start + 2 * minute, 0ms},
        {"checked long ago", startSeconds - 3 * 86400, start, minute},
        {"checked an hour ago", startSeconds - 3600, start, day - 1h},
        {"checked seconds before start", startSeconds - 10, start + minute, day - 10s - minute},
        {"clock set back: last check in the future", startSeconds + 5 * 86400, start, day},
        {"nonsense in the store", -5, start, minute},
    };
    for (const auto& row : rows)
        EXPECT_EQ(backgroundCheckDelay(row.lastCheck, row.now, start, minute, day), row.expected) << row.what;
}
