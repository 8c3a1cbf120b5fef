#pragma once

#include "linux/GOwned.h"
#include "ports/MediaPlayer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

/// How a player that is meant to be playing fights for its stream. A drop (a network error, the
/// server closing, an end of a live stream, or neither audio reaching the sink nor the network
/// queue filling for stallTimeout) makes
/// it reopen the URL after firstRetryDelay, doubling up to longestRetryDelay, until failures have
/// lasted giveUpAfter. Audio reaching the sink ends a run of failures.
struct GstRetryTimings {
    std::chrono::milliseconds firstRetryDelay { 500 };
    std::chrono::milliseconds longestRetryDelay { 30'000 };
    std::chrono::milliseconds giveUpAfter { 300'000 };
    std::chrono::milliseconds stallTimeout { 15'000 };
};

/// Makes one GStreamer playbin per player, initialising GStreamer on the first.
class GstMediaPlayerFactory final : public MediaPlayerFactory {
public:
    explicit GstMediaPlayerFactory(GstRetryTimings timings = {});
    std::unique_ptr<MediaPlayer> makePlayer(PlayerItem item) override;

private:
    GstRetryTimings m_timings;
};

/// One playbin for one URL. rate() is 1.0 from play() until pause(), until it gives up on the
/// stream, or until a stream of known length ends; 0.0 otherwise. Every bus message is handled on
/// the default main context and no call waits for the network.
class GstMediaPlayer final : public MediaPlayer {
public:
    GstMediaPlayer(PlayerItem item, GstRetryTimings timings);
    GstMediaPlayer(const GstMediaPlayer&) = delete;
    GstMediaPlayer& operator=(const GstMediaPlayer&) = delete;
    ~GstMediaPlayer() override;

    void play() override;
    void pause() override;
    float rate() const override;

    /// The playbin, for tools that inspect what flows through it; never for changing it.
    GstElement* pipeline() const { return m_pipeline.get(); }

private:
    enum class Failure { error, endOfStream, stall };

    void startAttempt();
    void applyTargetState();
    void handleFailure(Failure failure, const std::string& detail);
    void retry();
    void watchForStall();
    bool handleBusMessage(GstMessage* message);
    void setUpSource(GstElement* source);
    void watchSink(GstElement* element);
    void cancelRetry();
    void stopStallWatch();

    const std::string m_uri;
    const GstRetryTimings m_timings;
    GRefPtr<GstElement> m_pipeline;
    guint m_busWatch = 0;
    gulong m_sourceSetupHandler = 0;
    gulong m_elementAddedHandler = 0;
    guint m_retrySource = 0;
    guint m_stallSource = 0;

    bool m_isMeantToPlay = false;
    // Between the start of an attempt and its failure, giving up or the end of the stream.
    bool m_isStreamOpen = false;
    bool m_hasGivenUp = false;
    bool m_hasFinished = false;
    bool m_isBuffering = false;
    int m_bufferingPercent = 0;
    std::chrono::milliseconds m_nextRetryDelay;
    std::optional<std::chrono::steady_clock::time_point> m_failingSince;

    // Counted by a probe on the audio sink's pad, in a streaming thread; read on the main thread.
    std::atomic<std::uint64_t> m_sinkBuffers { 0 };
    std::uint64_t m_sinkBuffersAtAttemptStart = 0;
    std::uint64_t m_sinkBuffersAtLastCheck = 0;
    std::chrono::steady_clock::time_point m_lastProgress;
};
