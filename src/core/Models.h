#pragma once

#include "ports/Url.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

#ifndef ZELNA_STREAM_BASE_URL
#error "ZELNA_STREAM_BASE_URL must name the stream server, ending in '/'"
#endif

/// The address under which each channel's live stream is served at the path of its id.
inline constexpr std::string_view streamBaseURL = ZELNA_STREAM_BASE_URL;
static_assert(!streamBaseURL.empty() && streamBaseURL.back() == '/', "the stream base URL must end in '/'");

/// One channel of the broadcaster. Two channels are the same channel when their ids are equal;
/// the type deliberately has no equality of its own.
struct ZelnaChannel {
    enum class ChannelCategory { national, extra };

    std::string id;
    std::string name;
    ChannelCategory category;

    /// Formed afresh at every read.
    URL streamURL() const { return URL{std::string(streamBaseURL) + id}; }

    static const std::vector<ZelnaChannel> allChannels;
};

inline const std::vector<ZelnaChannel> ZelnaChannel::allChannels = {
    {"prime", "Zelna Prime", ChannelCategory::national},
    {"pulse", "Zelna Pulse", ChannelCategory::national},
    {"aria", "Zelna Aria", ChannelCategory::national},
    {"native", "Native Voice", ChannelCategory::national},
    {"vintage", "Zelna Vintage", ChannelCategory::extra},
};

/// What the hot-key slots receive, from slot 0 on, when no slot holds a channel.
inline constexpr std::array<std::string_view, 3> defaultHotkeyChannelIds = {"prime", "pulse", "aria"};
