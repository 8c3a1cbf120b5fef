// GstMediaPlayer against real GStreamer on streams from the loopback radio server. CTest ranks
// the fake audio sink first, so "audio flows" means buffers reach fakeaudiosink in time.

#include "linux/GstMediaPlayer.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace std::chrono_literals;
using namespace zelna::test;
using Clock = std::chrono::steady_clock;

namespace {

// Short enough that giving up takes seconds, long enough for loopback to answer in time.
const GstRetryTimings testTimings { 200ms, 800ms, 2500ms, 2000ms };

/// A player, the buffers reaching its fake audio sink, and whether its rate ever left 1.0 while
/// a test waited for audio.
struct ObservedPlayer {
    explicit ObservedPlayer(const std::string& url)
        : factory(testTimings)
        , player(factory.makePlayer(PlayerItem { URL { url } }))
        , pipeline(GRefPtr<GstElement>::share(dynamic_cast<GstMediaPlayer&>(*player).pipeline()))
    {
        handler = g_signal_connect(pipeline.get(), "deep-element-added",
            G_CALLBACK(+[](GstBin*, GstBin*, GstElement* element, std::atomic<std::uint64_t>* count) {
                auto* factory = gst_element_get_factory(element);
                if (!factory || g_strcmp0(GST_OBJECT_NAME(factory), "fakeaudiosink") != 0)
                    return;
                auto pad = GRefPtr<GstPad>::adopt(gst_element_get_static_pad(element, "sink"));
                gst_pad_add_probe(
                    pad.get(), GST_PAD_PROBE_TYPE_BUFFER,
                    [](GstPad*, GstPadProbeInfo*, gpointer count) {
                        ++*static_cast<std::atomic<std::uint64_t>*>(count);
                        return GST_PAD_PROBE_OK;
                    },
                    count, nullptr);
            }),
            &buffers);
    }
    ~ObservedPlayer() { g_signal_handler_disconnect(pipeline.get(), handler); }

    /// Whether `more` buffers beyond `since` have arrived; meant for runMainLoopUntil.
    bool flows(std::uint64_t since = 0, std::uint64_t more = 20)
    {
        rateLeftOne = rateLeftOne || player->rate() != 1.0F;
        return buffers >= since + more;
    }

    GstMediaPlayerFactory factory;
    std::unique_ptr<MediaPlayer> player;
    GRefPtr<GstElement> pipeline;
    gulong handler = 0;
    std::atomic<std::uint64_t> buffers { 0 };
    bool rateLeftOne = false;
};

class GstMediaPlayerTest : public testing::Test {
protected:
    static void SetUpTestSuite() { gst_init(nullptr, nullptr); }

    StreamServer server;
};

TEST_F(GstMediaPlayerTest, EveryFormatReachesTheSinkWithOurUserAgent)
{
    for (const std::string path : { "/mp3", "/aac", "/vorbis", "/opus", "/hls/playlist.m3u8" }) {
        SCOPED_TRACE(path);
        ObservedPlayer observed(server.url(path));
        observed.player->play();
        EXPECT_TRUE(runMainLoopUntil([&] { return observed.flows(); }));
        EXPECT_FALSE(observed.rateLeftOne);
        EXPECT_EQ(server.userAgents(path), std::vector<std::string> { "ZelnaMenu/" ZELNA_VERSION });
    }
}

TEST_F(GstMediaPlayerTest, RateFollowsPlayAndPauseAndAPausedPlayerNeverRetries)
{
    const std::string path = "/drop/mp3?after=0.3&burst=0.3";
    ObservedPlayer observed(server.url(path));
    EXPECT_EQ(observed.player->rate(), 0.0F);
    observed.player->play();
    EXPECT_EQ(observed.player->rate(), 1.0F);
    ASSERT_TRUE(runMainLoopUntil([&] { return observed.flows(0, 5); }));

    observed.player->pause();
    EXPECT_EQ(observed.player->rate(), 0.0F);
    runMainLoopFor(300ms);
    const std::uint64_t buffersWhenPaused = observed.buffers;
    // The server closes meanwhile; the failure surfaces while paused or once playing again.
    runMainLoopFor(2s);
    EXPECT_EQ(observed.buffers.load(), buffersWhenPaused);
    EXPECT_EQ(server.requestCount(path), 1);

    observed.player->play();
    EXPECT_EQ(observed.player->rate(), 1.0F);
    EXPECT_TRUE(runMainLoopUntil([&] { return observed.flows(buffersWhenPaused) && server.requestCount(path) >= 2; }));
}

TEST_F(GstMediaPlayerTest, DroppedAndSilentConnectionsAreReopenedAndAudioFlowsAgain)
{
    // A clean close reaches playbin as an end of stream, a reset as an error. A close before the
    // first audio byte, and silence mid-stream or right after the headers, leave the bus quiet
    // and only the player's own watchdog notices.
    for (const std::string path :
        { "/drop/mp3?after=1&burst=0.5", "/drop/mp3?after=1&burst=0.5&reset=1", "/drop/mp3?after=0&burst=0&count=1",
            "/stall/mp3?after=0.5&burst=0.5&count=1", "/stall/mp3?after=0&burst=0&count=1" }) {
        SCOPED_TRACE(path);
        ObservedPlayer observed(server.url(path));
        observed.player->play();
        ASSERT_TRUE(runMainLoopUntil([&] { return observed.flows(0, 0) && server.requestCount(path) >= 2; }));
        const std::uint64_t buffersAtReconnection = observed.buffers;
        EXPECT_TRUE(runMainLoopUntil([&] { return observed.flows(buffersAtReconnection); }));
        EXPECT_FALSE(observed.rateLeftOne);
    }
}

TEST_F(GstMediaPlayerTest, UnplayableStreamsGiveUpAfterTheRetryBudgetWithoutBlocking)
{
    const std::vector<std::string> paths { "/404", "/garbage", "/silent" };
    std::vector<std::unique_ptr<ObservedPlayer>> players;
    for (const auto& url : { server.url(paths[0]), server.url(paths[1]), server.url(paths[2]), server.refusedUrl() })
        players.push_back(std::make_unique<ObservedPlayer>(url));
    for (auto& observed : players)
        observed->player->play();
    // runMainLoopUntil checks its condition every few milliseconds unless the loop is blocked.
    auto lastCheck = Clock::now();
    Clock::duration longestGap {};
    const auto allRates = [&](float rate) {
        longestGap = std::max(longestGap, Clock::now() - lastCheck);
        lastCheck = Clock::now();
        return std::all_of(players.begin(), players.end(), [&](auto& p) { return p->player->rate() == rate; });
    };
    runMainLoopUntil([&] { return !allRates(1.0F); }, testTimings.giveUpAfter - 100ms);
    EXPECT_TRUE(allRates(1.0F)) << "gave up before the retry budget was spent";
    ASSERT_TRUE(runMainLoopUntil([&] { return allRates(0.0F); }, 30s));
    // Generous: a synchronous connect or a wait for a state change would take seconds.
    EXPECT_LT(longestGap, 500ms);
    for (const auto& path : paths) {
        SCOPED_TRACE(path);
        // Retried with backoff, then left alone.
        const int requests = server.requestCount(path);
        EXPECT_GE(requests, 2);
        EXPECT_LE(requests, 12);
        runMainLoopFor(1s);
        EXPECT_EQ(server.requestCount(path), requests);
    }
    for (auto& observed : players)
        EXPECT_EQ(observed->buffers.load(), 0U);

    // Play after giving up starts afresh.
    const int requests = server.requestCount("/404");
    players[0]->player->play();
    EXPECT_EQ(players[0]->player->rate(), 1.0F);
    EXPECT_TRUE(runMainLoopUntil([&] { return server.requestCount("/404") > requests; }));
}

TEST(GstMediaPlayerRestartTest, ServerRestartIsSurvived)
{
    gst_init(nullptr, nullptr);
    std::optional<StreamServer> server(std::in_place);
    ObservedPlayer observed(server->url("/mp3?burst=0.5"));
    observed.player->play();
    ASSERT_TRUE(runMainLoopUntil([&] { return observed.flows(); }));

    // Down for about a second: refused connections in the meantime, then back on the same port.
    const int port = server->port();
    server.reset();
    runMainLoopFor(1s);
    server.emplace(port);
    EXPECT_TRUE(runMainLoopUntil([&, since = observed.buffers.load()] { return observed.flows(since); }));
    EXPECT_FALSE(observed.rateLeftOne);
}

TEST_F(GstMediaPlayerTest, ReleasingAPlayerMidConnectionClosesItAtOnce)
{
    // Waiting for an answer, mid-stream with no data coming, playing, and waiting to retry.
    for (const std::string path : { "/silent", "/stall/mp3?after=0.2&burst=0.2", "/mp3", "/404" }) {
        SCOPED_TRACE(path);
        auto observed = std::make_unique<ObservedPlayer>(server.url(path));
        observed->player->play();
        ASSERT_TRUE(runMainLoopUntil([&] { return server.requestCount(path) >= 1; }));
        runMainLoopFor(500ms);

        const auto start = Clock::now();
        observed.reset();
        EXPECT_LT(Clock::now() - start, 500ms);
        EXPECT_TRUE(runMainLoopUntil([&] { return server.closedCount(path) == server.requestCount(path); }, 3s));
        const int requests = server.requestCount(path);
        runMainLoopFor(1s);
        EXPECT_EQ(server.requestCount(path), requests);
    }
}

} // namespace
