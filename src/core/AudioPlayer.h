#pragma once

#include "core/Models.h"
#include "ports/MediaPlayer.h"
#include "ports/NowPlaying.h"
#include "ports/RemoteCommands.h"

#include <functional>
#include <memory>
#include <optional>

/// The one stream player of the process: starts channels on fresh platform players, publishes
/// what plays to the desktop and answers its media commands. Its state changes through play,
/// pause and resume, each of which tells onStateChange synchronously, and when the platform
/// player stops for good by itself, which it answers as a pause so that nothing claims to play.
class AudioPlayer {
public:
    struct Services {
        MediaPlayerFactory& mediaPlayers;
        NowPlayingInfoCenter& nowPlaying;
        RemoteCommandCenter& remoteCommands;
    };

    /// Shared ownership so that the media-command handlers, registered here, can hold it weakly.
    static std::shared_ptr<AudioPlayer> make(Services services);

    AudioPlayer(const AudioPlayer&) = delete;
    AudioPlayer& operator=(const AudioPlayer&) = delete;

    /// The channel last started; absent until the first play.
    const std::optional<ZelnaChannel>& currentChannel() const { return m_currentChannel; }
    /// A platform player exists and its rate is above 0.0.
    bool isPlaying() const;

    /// Always starts the channel afresh on a new platform player, the current one included.
    void play(const ZelnaChannel& channel);
    void pause();
    void resume();
    /// Publishes the current channel and the playing state; does nothing without a channel.
    void updateNowPlaying();

    std::function<void()> onStateChange;

private:
    explicit AudioPlayer(Services services);
    void setupRemoteCommands();
    void notifyStateChange();
    void playerStopped(unsigned playerNumber);

    Services m_services;
    std::weak_ptr<AudioPlayer> m_self;
    std::unique_ptr<MediaPlayer> m_player;
    // Tells the current platform player from those it replaced.
    unsigned m_playerNumber = 0;
    std::optional<ZelnaChannel> m_currentChannel;
};
