#include "core/AudioPlayer.h"
#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

namespace {

class AudioPlayerTest : public testing::Test {
protected:
    void SetUp() override
    {
        player = AudioPlayer::make(platform.playerServices());
        player->onStateChange = [this] {
            const auto& current = player->currentChannel();
            platform.log.add(std::string("callback playing=") + (player->isPlaying() ? "yes" : "no")
                             + " current=" + (current ? current->id : "none")
                             + " players=" + std::to_string(platform.mediaPlayers.livePlayers));
            ++callbacks;
        };
    }

    const ZelnaChannel& channel(std::size_t index) { return ZelnaChannel::allChannels.at(index); }
    std::string url(std::size_t index) { return channel(index).streamURL().absoluteString; }
    std::vector<std::string>& log() { return platform.log.entries; }

    FakePlatform platform;
    std::shared_ptr<AudioPlayer> player;
    int callbacks = 0;
};

} // namespace

TEST_F(AudioPlayerTest, FirstPlayPublishesThenNotifiesThenStartsANewPlayer)
{
    EXPECT_FALSE(player->isPlaying());
    player->play(channel(1));

    EXPECT_EQ(log(), (std::vector<std::string>{"publish", "state 1", "callback playing=no current=pulse players=0",
                                               "make player1 " + url(1), "player1.play"}));
    EXPECT_TRUE(player->isPlaying());
    ASSERT_EQ(platform.nowPlaying.published.size(), 1U);
    EXPECT_EQ(platform.nowPlaying.published[0],
              (NowPlayingInfo{{MPNowPlayingInfoPropertyIsLiveStream, true},
                              {MPMediaItemPropertyTitle, std::string("Zelna Pulse")},
                              {MPMediaItemPropertyArtist, std::string("Zelna Radio")}}));
}

TEST_F(AudioPlayerTest, SwitchingChannelsPausesTheOldPlayerAndNotifiesBeforeReplacingIt)
{
    player->play(channel(0));
    log().clear();
    player->play(channel(3));

    // The listener runs with the new channel while the old, paused player is still held.
    EXPECT_EQ(log(), (std::vector<std::string>{"player1.pause", "publish", "state 1",
                                               "callback playing=no current=native players=1",
                                               "make player2 " + url(3), "player2.play"}));
    EXPECT_EQ(platform.mediaPlayers.livePlayers, 1) << "the previous player is released";
    const auto& info = platform.nowPlaying.published.back();
    EXPECT_EQ(std::get<std::string>(info[1].second), "Native Voice");
    EXPECT_EQ(std::get<std::string>(info[2].second), "Zelna Radio");
}

TEST_F(AudioPlayerTest, PlayingTheCurrentChannelAgainRestartsItOnAFreshPlayer)
{
    player->play(channel(2));
    player->pause();
    player->play(channel(2));
    player->play(channel(2));

    EXPECT_EQ(platform.mediaPlayers.startedUrls, (std::vector<std::string>(3, url(2))));
    EXPECT_EQ(platform.nowPlaying.states, (std::vector<int>{1, 2, 1, 1}));
    EXPECT_EQ(callbacks, 4);
    EXPECT_TRUE(player->isPlaying());
}

TEST_F(AudioPlayerTest, PauseAndResumeKeepTheSamePlayer)
{
    player->play(channel(0));
    auto* first = platform.mediaPlayers.newest;
    log().clear();

    player->pause();
    EXPECT_FALSE(player->isPlaying());
    player->resume();
    EXPECT_TRUE(player->isPlaying());

    EXPECT_EQ(log(), (std::vector<std::string>{"player1.pause", "state 2", "callback playing=no current=prime players=1",
                                               "player1.play", "state 1", "callback playing=yes current=prime players=1"}));
    EXPECT_EQ(platform.mediaPlayers.newest, first);
    EXPECT_EQ(platform.mediaPlayers.startedUrls.size(), 1U);
}

TEST_F(AudioPlayerTest, PauseAndResumeWithoutAPlayerStillReportTheirState)
{
    player->pause();
    player->resume();

    EXPECT_EQ(log(), (std::vector<std::string>{"state 2", "callback playing=no current=none players=0", "state 1",
                                               "callback playing=no current=none players=0"}));
    EXPECT_FALSE(player->currentChannel());
    EXPECT_TRUE(platform.nowPlaying.published.empty());
}

TEST_F(AudioPlayerTest, IsPlayingFollowsThePlatformRateOnly)
{
    player->play(channel(0));
    platform.mediaPlayers.newest->currentRate = 0.0F; // the stream failed; nobody is told
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(player->currentChannel()->id, "prime");
    platform.mediaPlayers.newest->currentRate = -1.0F;
    EXPECT_FALSE(player->isPlaying());
}

TEST_F(AudioPlayerTest, UpdateNowPlayingWithoutAChannelPublishesNothing)
{
    player->updateNowPlaying();
    EXPECT_TRUE(log().empty());
}

TEST_F(AudioPlayerTest, RemoteCommandsAreRegisteredAtConstructionWithSkipsDisabled)
{
    auto& commands = platform.remoteCommands;
    EXPECT_EQ(commands.handlers[RemoteCommand::play].size(), 1U);
    EXPECT_EQ(commands.handlers[RemoteCommand::pause].size(), 1U);
    EXPECT_EQ(commands.handlers[RemoteCommand::togglePlayPause].size(), 1U);
    EXPECT_TRUE(commands.handlers[RemoteCommand::skipForward].empty());
    EXPECT_FALSE(commands.enabled.at(RemoteCommand::skipForward));
    EXPECT_FALSE(commands.enabled.at(RemoteCommand::skipBackward));
    EXPECT_EQ(commands.enabled.count(RemoteCommand::play), 0U) << "play keeps the platform default";
}

TEST_F(AudioPlayerTest, RemoteCommandsBeforeAnyStart)
{
    auto& commands = platform.remoteCommands;
    EXPECT_EQ(commands.send(RemoteCommand::play), 200);
    EXPECT_EQ(commands.send(RemoteCommand::togglePlayPause), 0);
    EXPECT_TRUE(log().empty()) << "play and toggle change nothing";
    EXPECT_EQ(callbacks, 0);

    EXPECT_EQ(commands.send(RemoteCommand::pause), 0);
    EXPECT_EQ(log(), (std::vector<std::string>{"state 2", "callback playing=no current=none players=0"}));
}

TEST_F(AudioPlayerTest, RemoteToggleAlternatesOnTheSamePlayerAndRemotePlayRestarts)
{
    auto& commands = platform.remoteCommands;
    player->play(channel(1));
    callbacks = 0;

    EXPECT_EQ(commands.send(RemoteCommand::togglePlayPause), 0);
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(commands.send(RemoteCommand::togglePlayPause), 0);
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(platform.mediaPlayers.startedUrls.size(), 1U) << "toggle resumes, never restarts";
    EXPECT_EQ(callbacks, 2);

    player->pause();
    EXPECT_EQ(commands.send(RemoteCommand::play), 0);
    EXPECT_EQ(platform.mediaPlayers.startedUrls, (std::vector<std::string>(2, url(1))));
    EXPECT_EQ(platform.nowPlaying.states.back(), 1);
    EXPECT_EQ(platform.nowPlaying.published.size(), 2U);
}

TEST_F(AudioPlayerTest, RemoteHandlersHoldThePlayerWeakly)
{
    player->play(channel(0));
    std::weak_ptr<AudioPlayer> weak = player;
    player.reset();
    EXPECT_TRUE(weak.expired()) << "the handlers must not keep the player alive";

    auto& commands = platform.remoteCommands;
    EXPECT_EQ(commands.send(RemoteCommand::play), 200);
    EXPECT_EQ(commands.send(RemoteCommand::pause), 0);
    EXPECT_EQ(commands.send(RemoteCommand::togglePlayPause), 0);
    EXPECT_EQ(platform.mediaPlayers.livePlayers, 0);
    EXPECT_EQ(platform.nowPlaying.states, (std::vector<int>{1})) << "nothing reaches a player that is gone";
}
