// MprisMediaCentre on a private session bus, read and driven as media widgets and key daemons do:
// playerctl, and plain D-Bus calls for the raw replies.

#include "linux/MprisMediaCentre.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

using namespace zelna::test;

namespace {

const std::string mpris = "org.mpris.MediaPlayer2", name = mpris + ".zelnamenu", path = "/org/mpris/MediaPlayer2";

class MprisMediaCentreTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(waitForNameOwner(client.get(), name)); }
    void publish(const std::string& title, MPNowPlayingPlaybackState state)
    {
        centre.setNowPlayingInfo({ { MPNowPlayingInfoPropertyIsLiveStream, true }, { MPMediaItemPropertyTitle, title },
            { MPMediaItemPropertyArtist, std::string("Zelna Radio") } });
        centre.setPlaybackState(state);
    }
    std::string playerctl(const std::string& command)
    {
        return runTool({ "sh", "-c", "playerctl -p zelnamenu " + command }).output;
    }

    PrivateSessionBus bus;
    GRefPtr<GDBusConnection> connection = bus.connect(), client = bus.connect();
    MprisMediaCentre centre { connection.get() };
};

} // namespace

TEST_F(MprisMediaCentreTest, ClientsSeeTheContractAndEveryChangeAndTheirCommandsReachTheHandlers)
{
    // What media widgets read: the interface's contract, once.
    auto all = allProperties(client.get(), name, path, mpris);
    all.merge(allProperties(client.get(), name, path, mpris + ".Player"));
    for (const auto& [property, value] : std::map<std::string, std::string> { { "Identity", "'ZelnaMenu'" },
             { "DesktopEntry", "'org.zelna.ZelnaMenu'" }, { "CanQuit", "false" }, { "CanRaise", "false" },
             { "HasTrackList", "false" }, { "SupportedUriSchemes", "@as []" }, { "SupportedMimeTypes", "@as []" },
             { "PlaybackStatus", "'Stopped'" }, { "CanPlay", "true" }, { "CanPause", "true" }, { "CanControl", "true" },
             { "CanGoNext", "false" }, { "CanGoPrevious", "false" }, { "CanSeek", "false" }, { "Rate", "1.0" },
             { "MinimumRate", "1.0" }, { "MaximumRate", "1.0" }, { "Volume", "1.0" }, { "Position", "int64 0" } })
        EXPECT_EQ(all[property], value) << property;

    SignalRecorder changes(client.get(), g_dbus_connection_get_unique_name(connection.get()), path);
    publish("Zelna Prime", MPNowPlayingPlaybackState::playing);
    EXPECT_EQ(playerctl("metadata --format '{{status}} {{artist}}: {{title}}'"), "Playing Zelna Radio: Zelna Prime");
    const std::string first = allProperties(client.get(), name, path, mpris + ".Player")["Metadata"];
    // A new publication is a new track, also of the same channel; a live stream has no length.
    publish("Zelna Prime", MPNowPlayingPlaybackState::paused);
    EXPECT_EQ(playerctl("status"), "Paused");
    const std::string second = allProperties(client.get(), name, path, mpris + ".Player")["Metadata"];
    EXPECT_NE(second, first);
    EXPECT_NE(second.find("'mpris:trackid': <objectpath '/org/zelna/"), std::string::npos) << second;
    EXPECT_NE(second.find("'xesam:artist': <['Zelna Radio']>"), std::string::npos) << second;
    EXPECT_EQ(second.find("mpris:length"), std::string::npos) << second;
    // GDBus does not announce changes of hand-written properties: every change must be.
    ASSERT_TRUE(runMainLoopUntil([&] { return changes.of("PropertiesChanged").size() == 4; }));
    EXPECT_NE(changes.of("PropertiesChanged")[3].find("'PlaybackStatus': <'Paused'>"), std::string::npos);
    std::vector<std::string> calls;
    auto playStatus = MPRemoteCommandHandlerStatus::commandFailed;
    for (const auto& [command, call] : std::map<RemoteCommand, std::string> {
             { RemoteCommand::play, "play" }, { RemoteCommand::pause, "pause" }, { RemoteCommand::togglePlayPause, "toggle" } })
        centre.addTarget(command, [&, command, call] {
            return calls.push_back(call), command == RemoteCommand::play ? playStatus : MPRemoteCommandHandlerStatus::success;
        });
    playerctl("play-pause; playerctl -p zelnamenu pause");
    const auto refused = callMethod(client.get(), name, path, mpris + ".Player", "Play");
    EXPECT_EQ(refused.error.find("GDBus.Error:org.freedesktop.DBus.Error.Failed"), 0U) << refused.error;
    playStatus = MPRemoteCommandHandlerStatus::success;
    EXPECT_EQ(runTool({ "playerctl", "-p", "zelnamenu", "play" }).status, 0);
    EXPECT_EQ(calls, (std::vector<std::string> { "toggle", "pause", "play", "play" }));
}
