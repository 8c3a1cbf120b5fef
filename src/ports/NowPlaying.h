#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

// What the desktop's media display shows. Used on the main thread only.

inline constexpr const char* MPNowPlayingInfoPropertyIsLiveStream = "MPNowPlayingInfoPropertyIsLiveStream";
inline constexpr const char* MPMediaItemPropertyTitle = "MPMediaItemPropertyTitle";
inline constexpr const char* MPMediaItemPropertyArtist = "MPMediaItemPropertyArtist";

enum class MPNowPlayingPlaybackState : int { playing = 1, paused = 2 };

using NowPlayingValue = std::variant<bool, std::string>;
/// Keys and values in the order they were added.
using NowPlayingInfo = std::vector<std::pair<std::string, NowPlayingValue>>;

class NowPlayingInfoCenter {
public:
    virtual ~NowPlayingInfoCenter() = default;
    /// Replaces what the desktop shows as the current item.
    virtual void setNowPlayingInfo(NowPlayingInfo info) = 0;
    virtual void setPlaybackState(MPNowPlayingPlaybackState state) = 0;
};
