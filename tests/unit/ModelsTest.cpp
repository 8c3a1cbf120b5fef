#include "core/Models.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

TEST(ModelsTest, CatalogueHoldsTheFiveChannelsInMenuOrder)
{
    using Category = ZelnaChannel::ChannelCategory;
    const auto& channels = ZelnaChannel::allChannels;
    ASSERT_EQ(channels.size(), 5U);

    const std::vector<std::tuple<std::string, std::string, Category>> expected = {
        {"prime", "Zelna Prime", Category::national},   {"pulse", "Zelna Pulse", Category::national},
        {"aria", "Zelna Aria", Category::national},     {"native", "Native Voice", Category::national},
        {"vintage", "Zelna Vintage", Category::extra},
    };
    std::set<std::string> ids;
    for (std::size_t index = 0; index < channels.size(); ++index) {
        EXPECT_EQ(channels[index].id, std::get<0>(expected[index]));
        EXPECT_EQ(channels[index].name, std::get<1>(expected[index]));
        EXPECT_EQ(channels[index].category, std::get<2>(expected[index]));
        // Ids become URL path segments and preference values: lowercase letters and digits only.
        EXPECT_TRUE(std::all_of(channels[index].id.begin(), channels[index].id.end(),
                                [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }));
        ids.insert(channels[index].id);
    }
    EXPECT_EQ(ids.size(), channels.size()) << "ids must be unique";
}

TEST(ModelsTest, StreamAddressIsTheBaseFollowedByTheId)
{
    for (const auto& channel : ZelnaChannel::allChannels) {
        EXPECT_EQ(channel.streamURL().absoluteString, std::string(streamBaseURL) + channel.id);
        EXPECT_EQ(channel.streamURL(), channel.streamURL());
    }
    EXPECT_EQ(streamBaseURL.back(), '/');
}

TEST(ModelsTest, DefaultHotkeyChannelsNameCataloguedChannels)
{
    ASSERT_EQ(defaultHotkeyChannelIds.size(), 3U);
    EXPECT_EQ(defaultHotkeyChannelIds[0], "prime");
    EXPECT_EQ(defaultHotkeyChannelIds[1], "pulse");
    EXPECT_EQ(defaultHotkeyChannelIds[2], "aria");
    for (auto id : defaultHotkeyChannelIds) {
        EXPECT_TRUE(std::any_of(ZelnaChannel::allChannels.begin(), ZelnaChannel::allChannels.end(),
                                [&](const ZelnaChannel& channel) { return channel.id == id; }))
            << id;
    }
}
