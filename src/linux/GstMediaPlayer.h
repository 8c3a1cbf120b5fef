#pragma once

#include "linux/support/GOwnedGst.h"
#include "ports/MediaPlayer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

/// How a player that is meant to be playing fights for its stream. A drop reopens the URL after
/// firstRetryDelay, doubling up to longestRetryDelay, until failures have lasted giveUpAfter;
/// audio reaching the sink ends a run of failures. A drop is a network error, the server closing,
/// the end of a live stream, or a stall: stallTimeout without audio reaching the sink (before the
/// first audio, without data arriving or the network queue filling either), or startTimeout of
/// data that never becomes audio. While the network monitor says the machine is offline, failures
/// spend nothing of giveUpAfter and retries wait longestRetryDelay; when the network returns, the
/// stream is reopened at once with the whole budget.
struct GstRetryTimings {
    std::chrono::milliseconds firstRetryDelay { 500 };
    std::chrono::milliseconds longestRetryDelay { 30'000 };
    std::chrono::milliseconds giveUpAfter { 300'000 };
    std::chrono::milliseconds stallTimeout { 15'000 };
    std::chrono::milliseconds startTimeout { 60'000 };
};

/// Makes the players, initialising GStreamer on the first. Players follow networkMonitor (the
/// composition root passes GIO's default one). The factory must outlive its players: it stops
/// the pipelines they leave behind, on a thread of its own, and waits for that when it goes.
class GstMediaPlayerFactory final : public MediaPlayerFactory {
public:
    /// Players follow the desktop's network monitor, which is loaded with the first of them.
    explicit GstMediaPlayerFactory(GstRetryTimings timings = {});
    /// Players follow networkMonitor, or nothing.
    explicit GstMediaPlayerFactory(GNetworkMonitor* networkMonitor, GstRetryTimings timings = {});
    std::unique_ptr<MediaPlayer> makePlayer(PlayerItem item) override;

    /// Readies GStreamer for the first player on a worker thread, so that neither the start nor
    /// the first choice pays for it; an idle program that is never asked to play never loads it.
    void prepare();

private:
    bool m_usesDefaultNetworkMonitor = false;
    bool m_isPrepared = false;
    GRefPtr<GNetworkMonitor> m_networkMonitor;
    GstRetryTimings m_timings;
    GUniquePtr<GThreadPool> m_pipelineReleaser;
};

/// Plays one URL, with a new playbin for every attempt. rate() is 1.0 from play() until pause(),
/// until it gives up on the stream, or until a stream of known length ends; 0.0 otherwise. The
/// last two call onStop. Every bus message is handled on the default main context, and the main
/// thread never waits for the network or for a pipeline's threads: pipelines are stopped on
/// pipelineReleaser, since stopping one joins its streaming threads, which a loaded machine can
/// keep waiting for tens of milliseconds.
class GstMediaPlayer final : public MediaPlayer {
public:
    GstMediaPlayer(PlayerItem item, GstRetryTimings timings, GNetworkMonitor* networkMonitor,
                   GThreadPool* pipelineReleaser);
    GstMediaPlayer(const GstMediaPlayer&) = delete;
    GstMediaPlayer& operator=(const GstMediaPlayer&) = delete;
    ~GstMediaPlayer() override;

    void play() override;
    void pause() override;
    float rate() const override;

    /// Buffers that reached the audio sink so far: how tools and tests see that audio flows.
    std::uint64_t audioBuffers() const { return m_flow->toSink.load(std::memory_order_relaxed); }

private:
    enum class Failure { error, endOfStream, stall };

    /// Counted by pad probes in streaming threads and read on the main thread. Shared with the
    /// pipelines' handlers and probes, which may still run while the releaser stops a pipeline.
    struct Flow {
        std::atomic<std::uint64_t> toSink { 0 };
        std::atomic<std::uint64_t> fromNetwork { 0 };
    };

    void startAttempt();
    void releasePipeline();
    void applyTargetState();
    void handleFailure(Failure failure, const std::string& detail);
    void scheduleRetry(std::chrono::milliseconds delay);
    void retry();
    void networkChanged(bool isAvailable);
    bool isNetworkAvailable() const;
    void stopForGood();
    void watchForStall();
    void checkForStall();
    bool handleBusMessage(GstMessage* message);
    void cancelRetry();
    void stopStallWatch();

    const std::string m_uri;
    const GstRetryTimings m_timings;
    GRefPtr<GNetworkMonitor> m_networkMonitor;
    GThreadPool* const m_pipelineReleaser;
    // The current attempt's, from its start until it fails, is given up, ends or is released.
    GRefPtr<GstElement> m_pipeline;
    std::shared_ptr<Flow> m_flow = std::make_shared<Flow>();
    guint m_busWatch = 0;
    gulong m_networkHandler = 0;
    guint m_retrySource = 0;
    guint m_stallSource = 0;
    guint m_stopNotice = 0;

    bool m_isMeantToPlay = false;
    bool m_hasGivenUp = false;
    bool m_hasFinished = false;
    bool m_isWaitingForNetwork = false;
    bool m_isBuffering = false;
    int m_bufferingPercent = 0;
    std::chrono::milliseconds m_nextRetryDelay;
    std::optional<std::chrono::steady_clock::time_point> m_failingSince;

    std::uint64_t m_toSinkAtAttemptStart = 0;
    std::uint64_t m_toSinkAtLastCheck = 0;
    std::uint64_t m_fromNetworkAtLastCheck = 0;
    std::chrono::steady_clock::time_point m_lastProgress;
    std::chrono::steady_clock::time_point m_waitingForAudioSince;
};
