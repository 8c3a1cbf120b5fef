#include "core/AudioPlayer.h"

std::shared_ptr<AudioPlayer> AudioPlayer::make(Services services)
{
    std::shared_ptr<AudioPlayer> player(new AudioPlayer(services));
    player->m_self = player;
    player->setupRemoteCommands();
    return player;
}

AudioPlayer::AudioPlayer(Services services)
    : m_services(services)
{
}

bool AudioPlayer::isPlaying() const
{
    return m_player && m_player->rate() > 0.0F;
}

void AudioPlayer::play(const ZelnaChannel& channel)
{
    if (m_player)
        m_player->pause();
    m_currentChannel = channel;
    updateNowPlaying();
    // Listeners see the new channel while the old player is still held, paused.
    notifyStateChange();
    m_player = m_services.mediaPlayers.makePlayer(PlayerItem{channel.streamURL()});
    m_player->onStop = [this, number = ++m_playerNumber] { playerStopped(number); };
    m_player->play();
}

void AudioPlayer::playerStopped(unsigned playerNumber)
{
    // Only the current player speaks for what plays; one already replaced has nothing to say.
    if (playerNumber != m_playerNumber)
        return;
    // The platform player gave up or its stream ended: say so as a pause does, so that the
    // desktop and the menu stop claiming it plays and choosing the channel again resumes it.
    pause();
}

void AudioPlayer::pause()
{
    if (m_player)
        m_player->pause();
    m_services.nowPlaying.setPlaybackState(MPNowPlayingPlaybackState::paused);
    notifyStateChange();
}

void AudioPlayer::resume()
{
    if (m_player)
        m_player->play();
    m_services.nowPlaying.setPlaybackState(MPNowPlayingPlaybackState::playing);
    notifyStateChange();
}

void AudioPlayer::updateNowPlaying()
{
    if (!m_currentChannel)
        return;
    m_services.nowPlaying.setNowPlayingInfo({
        {MPNowPlayingInfoPropertyIsLiveStream, true},
        {MPMediaItemPropertyTitle, m_currentChannel->name},
        {MPMediaItemPropertyArtist, std::string("Zelna Radio")},
    });
    m_services.nowPlaying.setPlaybackState(MPNowPlayingPlaybackState::playing);
}

void AudioPlayer::notifyStateChange()
{
    if (onStateChange)
        onStateChange();
}

void AudioPlayer::setupRemoteCommands()
{
    auto& commands = m_services.remoteCommands;
    std::weak_ptr<AudioPlayer> weakSelf = m_self;

    commands.addTarget(RemoteCommand::play, [weakSelf] {
        auto self = weakSelf.lock();
        if (!self || !self->m_currentChannel)
            return MPRemoteCommandHandlerStatus::commandFailed;
        // Copy: play() replaces the current channel while it runs.
        const ZelnaChannel channel = *self->m_currentChannel;
        self->play(channel);
        return MPRemoteCommandHandlerStatus::success;
    });
    commands.addTarget(RemoteCommand::pause, [weakSelf] {
        if (auto self = weakSelf.lock())
            self->pause();
        return MPRemoteCommandHandlerStatus::success;
    });
    commands.addTarget(RemoteCommand::togglePlayPause, [weakSelf] {
        auto self = weakSelf.lock();
        if (!self)
            return MPRemoteCommandHandlerStatus::success;
        if (self->isPlaying())
            self->pause();
        else if (self->m_player)
            self->resume();
        return MPRemoteCommandHandlerStatus::success;
    });
    commands.setEnabled(RemoteCommand::skipForward, false);
    commands.setEnabled(RemoteCommand::skipBackward, false);
}
