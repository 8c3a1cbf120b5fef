// GstMediaPlayer against real GStreamer on streams from tests/support/stream_server.py. CTest ranks
// the fake audio sink first, so "audio flows" means buffers reach fakeaudiosink.

#include "linux/GstMediaPlayer.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace zelna::test;

namespace {

// Short enough that giving up takes seconds, long enough for a busy machine to start a stream in time.
const GstRetryTimings timings { 200ms, 800ms, 8000ms, 5000ms, 20000ms };

/// A playing player, the buffers reaching its audio sink, and how often it stopped for good.
struct Player {
    explicit Player(const std::string& url, GNetworkMonitor* monitor = nullptr, GstRetryTimings retry = timings)
        : factory(monitor, retry), player(factory.makePlayer({ URL { url } }))
    {
        player->onStop = [this] { ++stops; };
        player->play();
    }
    int buffers() const { return static_cast<int>(dynamic_cast<GstMediaPlayer&>(*player).audioBuffers()); }
    /// Whether 20 more buffers than now arrive while the rate stays 1.0.
    bool flowsOn()
    {
        bool isSteady = true;
        const int since = buffers();
        return runMainLoopUntil([&] { return !(isSteady &= player->rate() == 1.0F) || buffers() >= since + 20; })
            && isSteady;
    }
    GstMediaPlayerFactory factory;
    std::unique_ptr<MediaPlayer> player;
    int stops = 0;
};

/// A network monitor, offline until the test says otherwise. (GLib's own plain monitor would do, but
/// it does not install the header that sets its networks.)
struct TestNetworkMonitor {
    GObject parent;
    gboolean isAvailable;

    static GRefPtr<GNetworkMonitor> make()
    {
        static const GType type = [] {
            const GType registered = g_type_register_static_simple(G_TYPE_OBJECT, "ZelnaTestNetworkMonitor",
                sizeof(GObjectClass), [](gpointer klass, gpointer) {
                    // The player reads network-available only; the others keep their default values.
                    G_OBJECT_CLASS(klass)->get_property = [](GObject* object, guint id, GValue* value, GParamSpec*) {
                        if (id == 1)
                            g_value_set_boolean(value, reinterpret_cast<TestNetworkMonitor*>(object)->isAvailable);
                    };
                    guint id = 0;
                    for (const char* name : { "network-available", "network-metered", "connectivity" })
                        g_object_class_override_property(G_OBJECT_CLASS(klass), ++id, name);
                }, sizeof(TestNetworkMonitor), nullptr, GTypeFlags(0));
            // Neither interface needs a method of its own: the player only reads and listens.
            const GInterfaceInfo none {};
            g_type_add_interface_static(registered, G_TYPE_INITABLE, &none);
            g_type_add_interface_static(registered, G_TYPE_NETWORK_MONITOR, &none);
            return registered;
        }();
        return GRefPtr<GNetworkMonitor>::adopt(G_NETWORK_MONITOR(g_object_new(type, nullptr)));
    }
    static void set(GNetworkMonitor* monitor, bool isAvailable)
    {
        reinterpret_cast<TestNetworkMonitor*>(monitor)->isAvailable = isAvailable;
        g_signal_emit_by_name(monitor, "network-changed", gboolean(isAvailable));
    }
};

class GstMediaPlayerTest : public testing::Test {
protected:
    static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
    /// The rests of the server's lines that start with `start`: for "REQUEST <path> ", the user agents.
    std::vector<std::string> lines(const std::string& start)
    {
        while (auto line = server.readLine(0ms))
            output.push_back(*line);
        std::vector<std::string> rests;
        for (const auto& line : output)
            if (line.starts_with(start))
                rests.push_back(line.substr(start.size()));
        return rests;
    }
    int requests(const std::string& path) { return static_cast<int>(lines("REQUEST " + path + " ").size()); }
    std::string url(const std::string& path) { return "http://127.0.0.1:" + lines("PORT ").at(0) + path; }

    // The first start in a build tree encodes the media files, which takes a few seconds.
    ChildProcess server { { "/usr/bin/python3", ZELNA_SOURCE_DIR "/tests/support/stream_server.py", "--media-dir",
                              ZELNA_BINARY_DIR "/test-media" }, true };
    std::vector<std::string> output { server.readLine(60s).value_or(""), server.readLine().value_or("") };
};

} // namespace

TEST_F(GstMediaPlayerTest, EveryFormatPlaysDropsOrSilenceReopenTheStreamAndAReleasedPlayerHangsUp)
{
    // A clean close reaches playbin as an end of stream, a reset as an error; a close before the
    // first byte and silence after it leave the bus quiet, and only the player's watchdog notices.
    for (const std::string path : { "/mp3", "/aac", "/vorbis", "/opus", "/hls/playlist.m3u8", "/redirect?to=/mp3", "/drop/mp3?after=1&burst=0.5",
             "/drop/mp3?after=1&burst=0.5&reset=1", "/drop/mp3?after=0&burst=0&count=1",
             "/stall/mp3?after=0.5&burst=0.5&count=1", "/stall/mp3?after=0&burst=0&count=1" }) {
        Player stream(url(path));
        EXPECT_TRUE(stream.flowsOn()) << path;
        const bool isFault = path.find("?after") != std::string::npos;
        EXPECT_TRUE(!isFault || (runMainLoopUntil([&] { return requests(path) >= 2; }) && stream.flowsOn())) << path;
        EXPECT_EQ(lines("REQUEST " + path + " ").at(0), "ZelnaMenu/" ZELNA_VERSION);
        EXPECT_EQ(stream.stops, 0) << path << ": reconnecting is not stopping";
    }
    // Released while it waits for an answer that never comes, a player closes its connection at once.
    std::optional<Player> waiting(std::in_place, url("/silent"));
    ASSERT_TRUE(runMainLoopUntil([&] { return requests("/silent") == 1; }));
    waiting.reset();
    EXPECT_TRUE(runMainLoopUntil([&] { return lines("CLOSED /silent").size() == 1; }, 3s));
}

TEST_F(GstMediaPlayerTest, UnplayableStreamsAreRetriedWithBackoffThenGivenUpWithoutBlocking)
{
    const std::vector<std::string> paths { "/404", "/garbage", "/silent", "/bad-head" };
    std::vector<std::unique_ptr<Player>> streams;
    for (const auto& path : paths)
        streams.push_back(std::make_unique<Player>(url(path)));
    streams.push_back(std::make_unique<Player>("http://127.0.0.1:" + lines("REFUSED_PORT ")[0]));
    const auto allStopped = [&](int times) {
        return std::ranges::all_of(streams, [&](auto& stream) { return stream->stops == times; });
    };
    // The condition is checked every few milliseconds unless something blocks the main loop.
    auto lastCheck = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration longestGap {};
    const auto allAt = [&](float rate) {
        const auto now = std::chrono::steady_clock::now();
        longestGap = std::max(longestGap, now - std::exchange(lastCheck, now));
        return std::ranges::all_of(streams, [&](auto& stream) { return stream->player->rate() == rate; });
    };
    EXPECT_FALSE(runMainLoopUntil([&] { return !allAt(1.0F); }, timings.giveUpAfter - 100ms)) << "gave up early";
    EXPECT_TRUE(allStopped(0));
    ASSERT_TRUE(runMainLoopUntil([&] { return allAt(0.0F); }, 30s));
    EXPECT_LT(longestGap, 500ms) << "a synchronous connect or state change would block the main loop for seconds";
    runMainLoopFor(1s);
    EXPECT_TRUE(allStopped(1)) << "each player says once that it stopped";
    for (const auto& path : paths) // 8 s of failures with 200, 400, 800, 800… ms between attempts, then no more
        EXPECT_TRUE(requests(path) >= 2 && requests(path) <= 16) << path << " " << requests(path);
    const int attempts = requests("/404");
    runMainLoopFor(1s);
    EXPECT_EQ(requests("/404"), attempts) << "given up means no more attempts";
    streams[0]->player->play();
    EXPECT_TRUE(runMainLoopUntil([&] { return requests("/404") > attempts; })) << "play starts afresh";
}

TEST_F(GstMediaPlayerTest, OfflineFailuresSpendNoBudgetAndTheNetworksReturnReconnectsAtOnce)
{
    auto monitor = TestNetworkMonitor::make();
    // Retries wait a minute unless the network's return brings them forward.
    Player stream(url("/404"), monitor.get(), { 200ms, 60s, 1500ms, 5000ms, 20000ms });
    runMainLoopFor(2s);
    EXPECT_EQ(requests("/404"), 1);
    EXPECT_EQ(stream.player->rate(), 1.0F) << "offline, the budget is not spent";
    TestNetworkMonitor::set(monitor.get(), true);
    EXPECT_TRUE(runMainLoopUntil([&] { return requests("/404") == 2; }));
    EXPECT_TRUE(runMainLoopUntil([&] { return stream.player->rate() == 0.0F; }));
    runMainLoopFor(300ms);
    EXPECT_EQ(stream.stops, 1);
}
