// GstMediaPlayer against real GStreamer on streams from tests/support/stream_server.py. CTest ranks
// the fake audio sink first, so "audio flows" means buffers reach fakeaudiosink.

#include "linux/GstMediaPlayer.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

using namespace zelna::test;

namespace {

// Short enough that giving up takes seconds, long enough for a busy machine to start a stream in time.
const GstRetryTimings timings { 200ms, 800ms, 8000ms, 5000ms };

/// A playing player and the buffers reaching its audio sink.
struct Player {
    explicit Player(const std::string& url) : player(GstMediaPlayerFactory(timings).makePlayer({ URL { url } }))
    {
        g_signal_connect(dynamic_cast<GstMediaPlayer&>(*player).pipeline(), "deep-element-added",
            G_CALLBACK(+[](GstBin*, GstBin*, GstElement* element, std::atomic<int>* buffers) {
                auto* factory = gst_element_get_factory(element);
                if (factory && g_str_equal(GST_OBJECT_NAME(factory), "fakeaudiosink"))
                    gst_pad_add_probe(GRefPtr<GstPad>::adopt(gst_element_get_static_pad(element, "sink")).get(),
                        GST_PAD_PROBE_TYPE_BUFFER, [](GstPad*, GstPadProbeInfo*, void* count) {
                            return ++*static_cast<std::atomic<int>*>(count), GST_PAD_PROBE_OK;
                        }, buffers, nullptr);
            }),
            &buffers);
        player->play();
    }
    /// Whether 20 more buffers than now arrive while the rate stays 1.0.
    bool flowsOn()
    {
        bool isSteady = true;
        const int since = buffers;
        return runMainLoopUntil([&] { return !(isSteady &= player->rate() == 1.0F) || buffers >= since + 20; })
            && isSteady;
    }
    std::unique_ptr<MediaPlayer> player;
    std::atomic<int> buffers { 0 };
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
    for (const std::string path : { "/mp3", "/aac", "/vorbis", "/opus", "/drop/mp3?after=1&burst=0.5",
             "/drop/mp3?after=1&burst=0.5&reset=1", "/drop/mp3?after=0&burst=0&count=1",
             "/stall/mp3?after=0.5&burst=0.5&count=1", "/stall/mp3?after=0&burst=0&count=1" }) {
        Player stream(url(path));
        EXPECT_TRUE(stream.flowsOn()) << path;
        const bool isFault = path.find('?') != std::string::npos;
        EXPECT_TRUE(!isFault || (runMainLoopUntil([&] { return requests(path) >= 2; }) && stream.flowsOn())) << path;
        EXPECT_EQ(lines("REQUEST " + path + " ").at(0), "ZelnaMenu/" ZELNA_VERSION);
    }
    // Released while it waits for an answer that never comes, a player closes its connection at once.
    std::optional<Player> waiting(std::in_place, url("/silent"));
    ASSERT_TRUE(runMainLoopUntil([&] { return requests("/silent") == 1; }));
    waiting.reset();
    EXPECT_TRUE(runMainLoopUntil([&] { return lines("CLOSED /silent").size() == 1; }, 3s));
}

TEST_F(GstMediaPlayerTest, UnplayableStreamsAreRetriedWithBackoffThenGivenUpWithoutBlocking)
{
    const std::vector<std::string> paths { "/404", "/garbage", "/silent" };
    std::vector<std::unique_ptr<Player>> streams;
    const std::string refused = "http://127.0.0.1:" + lines("REFUSED_PORT ")[0];
    for (const auto& address : { url(paths[0]), url(paths[1]), url(paths[2]), refused })
        streams.push_back(std::make_unique<Player>(address));
    // The condition is checked every few milliseconds unless something blocks the main loop.
    auto lastCheck = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration longestGap {};
    const auto allAt = [&](float rate) {
        const auto now = std::chrono::steady_clock::now();
        longestGap = std::max(longestGap, now - std::exchange(lastCheck, now));
        return std::ranges::all_of(streams, [&](auto& stream) { return stream->player->rate() == rate; });
    };
    EXPECT_FALSE(runMainLoopUntil([&] { return !allAt(1.0F); }, timings.giveUpAfter - 100ms)) << "gave up early";
    ASSERT_TRUE(runMainLoopUntil([&] { return allAt(0.0F); }, 30s));
    EXPECT_LT(longestGap, 500ms) << "a synchronous connect or state change would block the main loop for seconds";
    runMainLoopFor(1s);
    for (const auto& path : paths) // 8 s of failures with 200, 400, 800, 800… ms between attempts, then no more
        EXPECT_TRUE(requests(path) >= 2 && requests(path) <= 16) << path << " " << requests(path);
    const int attempts = requests("/404");
    runMainLoopFor(1s);
    EXPECT_EQ(requests("/404"), attempts) << "given up means no more attempts";
    streams[0]->player->play();
    EXPECT_TRUE(runMainLoopUntil([&] { return requests("/404") > attempts; })) << "play starts afresh";
}
