// MprisMediaCentre on a private session bus, read and driven by real MPRIS clients: playerctl,
// as the desktop's media widgets and key daemons would, and gdbus for the raw replies.

#include "linux/MprisMediaCentre.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace zelna::test;

namespace {

struct ClientResult {
    int status = -1;
    std::string output;
};

/// Runs a client to its end while the main loop serves its calls; stdout and stderr together.
ClientResult runClient(const std::string& commandLine)
{
    ChildProcess client({ "sh", "-c", commandLine + " 2>&1" }, {}, true);
    runMainLoopUntil([&] { return !client.isRunning(); });
    ClientResult result { client.wait(0ms).value_or(-1), {} };
    while (auto line = client.readLine(1s))
        result.output += (result.output.empty() ? "" : "\n") + *line;
    return result;
}

const std::string gdbus = "gdbus call --session -d org.mpris.MediaPlayer2.zelnamenu -o /org/mpris/MediaPlayer2 -m ";
const std::string playerctl = "playerctl -p zelnamenu ";

NowPlayingInfo channelInfo(const std::string& title)
{
    return { { MPNowPlayingInfoPropertyIsLiveStream, true }, { MPMediaItemPropertyTitle, title },
        { MPMediaItemPropertyArtist, std::string("Zelna Radio") } };
}

class MprisMediaCentreTest : public testing::Test {
protected:
    MprisMediaCentreTest()
    {
        EXPECT_TRUE(runMainLoopUntil([] { return runClient("playerctl -l").output == "zelnamenu"; }));
    }

    static std::string allProperties()
    {
        const std::string getAll = gdbus + "org.freedesktop.DBus.Properties.GetAll org.mpris.MediaPlayer2";
        return runClient(getAll).output + runClient(getAll + ".Player").output;
    }

    PrivateSessionBus bus;
    GRefPtr<GDBusConnection> connection = bus.connect();
    MprisMediaCentre centre { connection.get() };
};

TEST_F(MprisMediaCentreTest, ClientsSeeTheIdentityStatusAndPublishedChannel)
{
    const auto properties = allProperties();
    for (const char* expected : { "'Identity': <'ZelnaMenu'>", "'DesktopEntry': <'org.zelna.ZelnaMenu'>",
             "'CanQuit': <false>", "'CanRaise': <false>", "'SupportedUriSchemes': <@as []>", "'CanPlay': <true>",
             "'CanPause': <true>", "'CanControl': <true>", "'CanGoNext': <false>", "'CanGoPrevious': <false>",
             "'CanSeek': <false>", "'Rate': <1.0>", "'Volume': <1.0>", "'Position': <int64 0>" })
        EXPECT_NE(properties.find(expected), std::string::npos) << expected << " in " << properties;
    EXPECT_EQ(runClient(playerctl + "status").output, "Stopped");

    centre.setNowPlayingInfo(channelInfo("Zelna Prime"));
    centre.setPlaybackState(MPNowPlayingPlaybackState::playing);
    EXPECT_EQ(runClient(playerctl + "status").output, "Playing");
    EXPECT_EQ(runClient(playerctl + "metadata --format '{{artist}}|{{title}}'").output, "Zelna Radio|Zelna Prime");
    EXPECT_EQ(allProperties().find("mpris:length"), std::string::npos) << "a live stream has no length";

    // A new publication is a new track, also for the same channel; the artist stays an array.
    centre.setNowPlayingInfo(channelInfo("Zelna Prime"));
    centre.setPlaybackState(MPNowPlayingPlaybackState::paused);
    EXPECT_EQ(runClient(playerctl + "status").output, "Paused");
    const auto raw = allProperties();
    EXPECT_NE(raw.find("'mpris:trackid': <objectpath '/org/zelna/ZelnaMenu/track/2'>"), std::string::npos) << raw;
    EXPECT_NE(raw.find("'xesam:artist': <['Zelna Radio']>"), std::string::npos) << raw;
}

TEST_F(MprisMediaCentreTest, CommandsReachTheHandlersAndFailuresBecomeErrorReplies)
{
    std::vector<std::string> calls;
    auto playStatus = MPRemoteCommandHandlerStatus::commandFailed;
    const auto record = [&](const char* name, const MPRemoteCommandHandlerStatus& status) {
        return [&calls, &status, name] {
            calls.push_back(name);
            return status;
        };
    };
    const auto success = MPRemoteCommandHandlerStatus::success;
    centre.addTarget(RemoteCommand::play, record("play", playStatus));
    centre.addTarget(RemoteCommand::pause, record("pause", success));
    centre.addTarget(RemoteCommand::togglePlayPause, record("toggle", success));
    centre.setEnabled(RemoteCommand::skipForward, false);
    centre.setEnabled(RemoteCommand::skipBackward, false);

    EXPECT_EQ(runClient(playerctl + "play-pause").status, 0);
    EXPECT_EQ(runClient(playerctl + "pause").status, 0);
    const auto refused = runClient(gdbus + "org.mpris.MediaPlayer2.Player.Play");
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.output.find("org.freedesktop.DBus.Error.Failed"), std::string::npos) << refused.output;
    playStatus = success;
    EXPECT_EQ(runClient(playerctl + "play").status, 0);
    EXPECT_EQ(calls, (std::vector<std::string> { "toggle", "pause", "play", "play" }));

    // Skipping is switched off: playerctl refuses before calling, and the methods do nothing.
    const auto next = runClient(playerctl + "next");
    EXPECT_EQ(next.status, 1);
    EXPECT_NE(next.output.find("No player could handle this command"), std::string::npos) << next.output;
    for (const char* method : { "Next", "Previous", "Stop", "Seek 5000000", "OpenUri http://127.0.0.1/" })
        EXPECT_EQ(runClient(gdbus + "org.mpris.MediaPlayer2.Player." + method).status, 0) << method;
    EXPECT_EQ(calls.size(), 4U);
}

TEST_F(MprisMediaCentreTest, PropertiesChangedArrivesForEveryChange)
{
    ChildProcess follower(
        { "playerctl", "-p", "zelnamenu", "--follow", "metadata", "--format", "{{status}} {{title}}" }, {}, true);
    const auto nextLine = [&] {
        std::optional<std::string> line;
        runMainLoopUntil([&] { return (line = follower.readLine(0ms)).has_value(); });
        return line.value_or("(nothing)");
    };
    // playerctl starts following once it sees the player; a first publication makes it print.
    runMainLoopFor(500ms);
    centre.setNowPlayingInfo(channelInfo("Zelna Prime"));
    EXPECT_EQ(nextLine(), "Stopped Zelna Prime");
    centre.setPlaybackState(MPNowPlayingPlaybackState::playing);
    EXPECT_EQ(nextLine(), "Playing Zelna Prime");
    centre.setPlaybackState(MPNowPlayingPlaybackState::paused);
    EXPECT_EQ(nextLine(), "Paused Zelna Prime");
    centre.setNowPlayingInfo(channelInfo("Native Voice"));
    EXPECT_EQ(nextLine(), "Paused Native Voice");
}

} // namespace
