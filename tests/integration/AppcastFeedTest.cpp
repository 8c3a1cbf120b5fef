// The update checks' pure half: the order of versions and the reading of feeds.

#include "linux/support/AppcastFeed.h"

#include <glib.h>
#include <gtest/gtest.h>

TEST(AppcastFeedTest, VersionsCompareSegmentBySegmentWithPreReleasesFirst)
{
    // Each pair is in ascending order, or equal when marked so.
    const std::tuple<const char*, const char*, bool> rows[] = {
        { "1.9", "1.10", false }, { "2.0", "2.0.0", true }, { "2.0", "2.0.1", false }, { "1.0b2", "1.0", false },
        { "1.0-rc.1", "1.0", false }, { "1.0-beta", "1.0.1", false }, { "1.0b3", "1.0rc1", false },
        { "1.0-BETA", "1.0-beta", true }, { "1.0-beta.2", "1.0-beta.10", false }, { "v1.2", "1.2", true },
        { "1.2+build.5", "1.2", true }, { "010.1", "10.1", true },
        { "99999999999999999998.9", "99999999999999999999.0", false },
    };
    for (const auto& [lower, higher, isEqual] : rows) {
        const auto expected = isEqual ? std::strong_ordering::equal : std::strong_ordering::less;
        EXPECT_EQ(compareVersions(lower, higher), expected) << lower << " vs " << higher;
        EXPECT_EQ(compareVersions(higher, lower), 0 <=> expected) << higher << " vs " << lower;
    }
}

TEST(AppcastFeedTest, AFeedThatIsNotWellFormedUtf8IsRefusedWithoutAWarning)
{
    // GMarkup went on past bad UTF-8 in CDATA and set a GError over another: that warning aborts.
    g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK | G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL));
    const auto items = parseAppcast("<rss><channel><item><title><![CDATA[\xFF]]></title><title><![CDATA[\xFE]]>"
                                    "</title><sparkle:version>2.0</sparkle:version></item></channel></rss>");
    EXPECT_TRUE(!items && !items.failure().message.empty());
}
