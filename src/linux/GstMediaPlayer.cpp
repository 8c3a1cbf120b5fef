#include "linux/GstMediaPlayer.h"

#include "linux/support/Failure.h"
#include "linux/support/GioHttpSource.h"
#include "linux/support/Log.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

// playbin's GstPlayFlags are not in a public header; these bits are stable API.
constexpr guint playFlagVideo = 1U << 0;
constexpr guint playFlagText = 1U << 2;
constexpr guint playFlagVisualisation = 1U << 3;

constexpr const char* userAgent = "ZelnaMenu/" ZELNA_VERSION;

bool hasProperty(GstElement* element, const char* name)
{
    return g_object_class_find_property(G_OBJECT_GET_CLASS(element), name) != nullptr;
}

bool isAudioSink(GstElement* element)
{
    const char* klass = gst_element_class_get_metadata(GST_ELEMENT_GET_CLASS(element), GST_ELEMENT_METADATA_KLASS);
    return klass && std::strstr(klass, "Sink") && std::strstr(klass, "Audio");
}

guint milliseconds(std::chrono::milliseconds duration)
{
    return static_cast<guint>(std::max<std::chrono::milliseconds::rep>(duration.count(), 1));
}

/// Counts the buffers that pass the element's static pad into counter, which owner keeps alive.
void countBuffers(GstElement* element, const char* padName, std::shared_ptr<void> owner,
                  std::atomic<std::uint64_t>& counter)
{
    auto pad = GRefPtr<GstPad>::adopt(gst_element_get_static_pad(element, padName));
    if (!pad)
        return;
    struct Probe {
        std::shared_ptr<void> owner;
        std::atomic<std::uint64_t>& counter;
    };
    gst_pad_add_probe(
        pad.get(), static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        [](GstPad*, GstPadProbeInfo*, gpointer probe) {
            static_cast<Probe*>(probe)->counter.fetch_add(1, std::memory_order_relaxed);
            return GST_PAD_PROBE_OK;
        },
        new Probe { std::move(owner), counter }, [](gpointer probe) { delete static_cast<Probe*>(probe); });
}

// Stands for the warm-up in the worker's queue, among the pipelines it stops.
char warmUpTask;

/// GStreamer loads its plugin registry on initialisation: a program that sits idle in the panel
/// should not carry it (memory, start-up time) until it may be asked to play. The warm-up also
/// loads what every stream goes through, which the first player would otherwise load: GIO's
/// network monitor, proxy resolver and TLS backend (modules of their own), and the plugins.
void initialiseGStreamer(bool isWarmUp)
{
    gst_init(nullptr, nullptr);
    registerGioHttpSource(userAgent);
    if (!isWarmUp)
        return;
    g_network_monitor_get_default();
    g_proxy_resolver_get_default();
    g_tls_backend_get_default();
    for (const char* name : { "playbin", "uridecodebin", "decodebin", "typefind", "queue2", "playsink", "audioconvert",
             "audioresample", "volume", "autoaudiosink" }) {
        if (GstPluginFeature* feature = gst_registry_lookup_feature(gst_registry_get(), name)) {
            if (GstPluginFeature* loaded = gst_plugin_feature_load(feature))
                gst_object_unref(loaded);
            gst_object_unref(feature);
        }
    }
    // Every stream is typefound and parsed, and played on the sink autoaudiosink will pick.
    for (const char* name : { "typefindfunctions", "audioparsers" }) {
        if (GstPlugin* plugin = gst_registry_find_plugin(gst_registry_get(), name)) {
            if (GstPlugin* loaded = gst_plugin_load(plugin))
                gst_object_unref(loaded);
            gst_object_unref(plugin);
        }
    }
    GList* sinks = gst_element_factory_list_get_elements(
        GST_ELEMENT_FACTORY_TYPE_SINK | GST_ELEMENT_FACTORY_TYPE_MEDIA_AUDIO, GST_RANK_MARGINAL);
    sinks = g_list_sort(sinks, gst_plugin_feature_rank_compare_func);
    if (GstPluginFeature* loaded = sinks ? gst_plugin_feature_load(GST_PLUGIN_FEATURE(sinks->data)) : nullptr)
        gst_object_unref(loaded);
    gst_plugin_feature_list_free(sinks);
}

} // namespace

GstMediaPlayerFactory::GstMediaPlayerFactory(GstRetryTimings timings)
    : GstMediaPlayerFactory(nullptr, timings)
{
    m_usesDefaultNetworkMonitor = true;
}

GstMediaPlayerFactory::GstMediaPlayerFactory(GNetworkMonitor* networkMonitor, GstRetryTimings timings)
    : m_networkMonitor(GRefPtr<GNetworkMonitor>::share(networkMonitor))
    , m_timings(timings)
    , m_pipelineReleaser(g_thread_pool_new(
          [](gpointer task, gpointer) {
              if (task == &warmUpTask)
                  return initialiseGStreamer(true);
              gst_element_set_state(GST_ELEMENT(task), GST_STATE_NULL);
              gst_object_unref(task);
          },
          nullptr, 1, FALSE, nullptr))
{ }

void GstMediaPlayerFactory::prepare()
{
    if (!std::exchange(m_isPrepared, true))
        g_thread_pool_push(m_pipelineReleaser.get(), &warmUpTask, nullptr);
}

std::unique_ptr<MediaPlayer> GstMediaPlayerFactory::makePlayer(PlayerItem item)
{
    // Waits for a warm-up under way, if any.
    m_isPrepared = true;
    initialiseGStreamer(false);
    if (m_usesDefaultNetworkMonitor && !m_networkMonitor)
        m_networkMonitor = GRefPtr<GNetworkMonitor>::share(g_network_monitor_get_default());
    return std::make_unique<GstMediaPlayer>(std::move(item), m_timings, m_networkMonitor.get(),
                                            m_pipelineReleaser.get());
}

GstMediaPlayer::GstMediaPlayer(PlayerItem item, GstRetryTimings timings, GNetworkMonitor* networkMonitor,
                               GThreadPool* pipelineReleaser)
    : m_uri(std::move(item.url.absoluteString))
    , m_timings(timings)
    , m_networkMonitor(GRefPtr<GNetworkMonitor>::share(networkMonitor))
    , m_pipelineReleaser(pipelineReleaser)
    , m_nextRetryDelay(timings.firstRetryDelay)
{
    if (m_networkMonitor)
        m_networkHandler = g_signal_connect(m_networkMonitor.get(), "network-changed",
            G_CALLBACK(+[](GNetworkMonitor*, gboolean isAvailable, gpointer self) {
                static_cast<GstMediaPlayer*>(self)->networkChanged(isAvailable);
            }),
            this);
}

GstMediaPlayer::~GstMediaPlayer()
{
    cancelRetry();
    stopStallWatch();
    if (m_stopNotice)
        g_source_remove(m_stopNotice);
    if (m_networkHandler)
        g_signal_handler_disconnect(m_networkMonitor.get(), m_networkHandler);
    releasePipeline();
}

void GstMediaPlayer::play()
{
    // The owner acts on what it asked for; a stop it has not heard of yet is moot.
    if (m_stopNotice)
        g_source_remove(std::exchange(m_stopNotice, 0U));
    m_isMeantToPlay = true;
    if (m_pipeline) {
        applyTargetState();
        watchForStall();
        return;
    }
    // The first start, or the last attempt failed while paused, was given up or ended: open anew.
    cancelRetry();
    m_hasGivenUp = false;
    m_hasFinished = false;
    m_isWaitingForNetwork = false;
    m_failingSince.reset();
    m_nextRetryDelay = m_timings.firstRetryDelay;
    startAttempt();
}

void GstMediaPlayer::pause()
{
    m_isMeantToPlay = false;
    if (m_stopNotice)
        g_source_remove(std::exchange(m_stopNotice, 0U));
    cancelRetry();
    stopStallWatch();
    if (m_pipeline)
        gst_element_set_state(m_pipeline.get(), GST_STATE_PAUSED);
}

float GstMediaPlayer::rate() const
{
    return m_isMeantToPlay && !m_hasGivenUp && !m_hasFinished ? 1.0F : 0.0F;
}

void GstMediaPlayer::startAttempt()
{
    // A fresh playbin: some errors leave the old one's decoding bin unlinked, and stopping the
    // old one waits for its threads, which is the releaser's business.
    releasePipeline();
    m_pipeline = GRefPtr<GstElement>::adopt(gst_element_factory_make("playbin", nullptr));
    if (!m_pipeline) {
        logLine("cannot play %s: GStreamer's playbin is not installed", m_uri.c_str());
        m_hasGivenUp = true;
        stopForGood();
        return;
    }
    // A radio plays sound only: never open a window for a stream that also carries pictures.
    guint flags = 0;
    g_object_get(m_pipeline.get(), "flags", &flags, nullptr);
    flags &= ~(playFlagVideo | playFlagText | playFlagVisualisation);
    g_object_set(m_pipeline.get(), "uri", m_uri.c_str(), "flags", flags, nullptr);

    auto bus = GRefPtr<GstBus>::adopt(gst_element_get_bus(m_pipeline.get()));
    m_busWatch = gst_bus_add_watch(
        bus.get(),
        [](GstBus*, GstMessage* message, gpointer self) -> gboolean {
            return static_cast<GstMediaPlayer*>(self)->handleBusMessage(message);
        },
        this);
    g_signal_connect(m_pipeline.get(), "source-setup",
        G_CALLBACK(+[](GstElement*, GstElement* source, gpointer) {
            // For the http source GStreamer itself would pick were ours not registered.
            if (hasProperty(source, "user-agent"))
                g_object_set(source, "user-agent", userAgent, nullptr);
            if (hasProperty(source, "ssl-strict"))
                g_object_set(source, "ssl-strict", TRUE, nullptr);
        }),
        nullptr);
    // Streaming threads add elements, also while the releaser stops the pipeline: the handler
    // holds the counters, never the player. It goes with the pipeline.
    g_signal_connect_data(m_pipeline.get(), "deep-element-added",
        G_CALLBACK(+[](GstBin*, GstBin*, GstElement* element, std::shared_ptr<Flow>* flow) {
            if (isAudioSink(element))
                countBuffers(element, "sink", *flow, (*flow)->toSink);
            else if (GST_OBJECT_FLAG_IS_SET(element, GST_ELEMENT_FLAG_SOURCE))
                countBuffers(element, "src", *flow, (*flow)->fromNetwork);
        }),
        new std::shared_ptr<Flow>(m_flow),
        [](gpointer flow, GClosure*) { delete static_cast<std::shared_ptr<Flow>*>(flow); }, GConnectFlags(0));

    m_isBuffering = false;
    m_bufferingPercent = 0;
    m_toSinkAtAttemptStart = m_flow->toSink.load(std::memory_order_relaxed);
    applyTargetState();
    watchForStall();
}

void GstMediaPlayer::releasePipeline()
{
    if (!m_pipeline)
        return;
    g_source_remove(std::exchange(m_busWatch, 0U));
    g_thread_pool_push(m_pipelineReleaser, m_pipeline.leakRef(), nullptr);
}

void GstMediaPlayer::applyTargetState()
{
    // While the network queue refills, hold the sink so that audio resumes whole, not in shreds.
    const GstState target = m_isMeantToPlay && !m_isBuffering ? GST_STATE_PLAYING : GST_STATE_PAUSED;
    // A refused change posts an error on the bus, which is handled there.
    gst_element_set_state(m_pipeline.get(), target);
}

bool GstMediaPlayer::handleBusMessage(GstMessage* message)
{
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ERROR: {
        GUniqueOutPtr<GError> error;
        gst_message_parse_error(message, &error.outPtr(), nullptr);
        handleFailure(Failure::error, ::Failure::from(error.get()).message);
        break;
    }
    case GST_MESSAGE_EOS: {
        // The source knows a length from Content-Length; a playlist of known length has a duration.
        gint64 bytes = -1;
        gint64 duration = -1;
        if (m_pipeline
            && ((gst_element_query_duration(m_pipeline.get(), GST_FORMAT_BYTES, &bytes) && bytes > 0)
                || (gst_element_query_duration(m_pipeline.get(), GST_FORMAT_TIME, &duration) && duration > 0))) {
            // A stream of known length simply ended: nothing to reconnect to.
            m_hasFinished = true;
            stopStallWatch();
            releasePipeline();
            if (m_isMeantToPlay)
                stopForGood();
            break;
        }
        handleFailure(Failure::endOfStream, "the server ended the stream");
        break;
    }
    case GST_MESSAGE_BUFFERING: {
        gint percent = 100;
        gst_message_parse_buffering(message, &percent);
        // A filling queue is the network at work even while the sink waits for it.
        if (percent > m_bufferingPercent)
            m_lastProgress = std::chrono::steady_clock::now();
        m_bufferingPercent = percent;
        const bool isBuffering = percent < 100;
        if (isBuffering != m_isBuffering) {
            m_isBuffering = isBuffering;
            if (m_isMeantToPlay)
                applyTargetState();
        }
        break;
    }
    case GST_MESSAGE_CLOCK_LOST:
        // The audio device went away and took the clock: choosing a new one needs a PAUSED round.
        if (m_isMeantToPlay) {
            gst_element_set_state(m_pipeline.get(), GST_STATE_PAUSED);
            applyTargetState();
        }
        break;
    default:
        break;
    }
    return G_SOURCE_CONTINUE;
}

void GstMediaPlayer::handleFailure(Failure failure, const std::string& detail)
{
    if (!m_pipeline)
        return;
    stopStallWatch();
    releasePipeline();
    if (!m_isMeantToPlay)
        return; // A paused player never retries; play() opens the stream anew.

    const auto now = std::chrono::steady_clock::now();
    if (m_flow->toSink.load(std::memory_order_relaxed) != m_toSinkAtAttemptStart) {
        // This attempt played: the run of failures starts over.
        m_failingSince.reset();
        m_nextRetryDelay = m_timings.firstRetryDelay;
    }
    const char* what = failure == Failure::error ? "failed" : failure == Failure::stall ? "stalled" : "ended";
    if (!isNetworkAvailable()) {
        // Offline, or waking from suspend before the network is back: failures say nothing about
        // the stream. Keep trying now and then in case the monitor is wrong, and spend nothing.
        // (The steady clock stands still while suspended, so a night asleep never counts either.)
        if (!m_isWaitingForNetwork)
            logLine("the stream %s %s (%s) while the network is down; waiting for it", m_uri.c_str(), what,
                detail.c_str());
        m_isWaitingForNetwork = true;
        m_failingSince.reset();
        m_nextRetryDelay = m_timings.firstRetryDelay;
        scheduleRetry(m_timings.longestRetryDelay);
        return;
    }
    m_isWaitingForNetwork = false;
    if (!m_failingSince) {
        m_failingSince = now;
        logLine("the stream %s %s (%s); reconnecting", m_uri.c_str(), what, detail.c_str());
    }
    if (now - *m_failingSince >= m_timings.giveUpAfter) {
        m_hasGivenUp = true;
        logLine("giving up on the stream %s, which has failed for %lld s (last: %s)", m_uri.c_str(),
            static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(now - *m_failingSince).count()),
            detail.c_str());
        stopForGood();
        return;
    }
    scheduleRetry(m_nextRetryDelay);
    m_nextRetryDelay = std::min(m_nextRetryDelay * 2, m_timings.longestRetryDelay);
}

void GstMediaPlayer::scheduleRetry(std::chrono::milliseconds delay)
{
    cancelRetry();
    m_retrySource = g_timeout_add(
        milliseconds(delay),
        [](gpointer self) -> gboolean {
            static_cast<GstMediaPlayer*>(self)->retry();
            return G_SOURCE_REMOVE;
        },
        this);
}

void GstMediaPlayer::retry()
{
    m_retrySource = 0;
    startAttempt();
}

void GstMediaPlayer::networkChanged(bool isAvailable)
{
    // Only a player waiting to retry acts; a playing stream shows for itself whether it still flows.
    if (!isAvailable || !m_retrySource)
        return;
    if (m_isWaitingForNetwork) {
        logLine("the network is back; reconnecting to %s", m_uri.c_str());
        m_isWaitingForNetwork = false;
        m_failingSince.reset();
        m_nextRetryDelay = m_timings.firstRetryDelay;
    }
    cancelRetry();
    startAttempt();
}

bool GstMediaPlayer::isNetworkAvailable() const
{
    return !m_networkMonitor || g_network_monitor_get_network_available(m_networkMonitor.get());
}

void GstMediaPlayer::stopForGood()
{
    // From its own main-loop turn: never inside play() or pause(), and the owner may do anything
    // with this player there, even release it.
    m_stopNotice = g_idle_add(
        [](gpointer data) -> gboolean {
            auto* self = static_cast<GstMediaPlayer*>(data);
            self->m_stopNotice = 0;
            if (auto callback = self->onStop)
                callback();
            return G_SOURCE_REMOVE;
        },
        this);
}

void GstMediaPlayer::watchForStall()
{
    stopStallWatch();
    const auto now = std::chrono::steady_clock::now();
    m_lastProgress = now;
    m_waitingForAudioSince = now;
    m_toSinkAtLastCheck = m_flow->toSink.load(std::memory_order_relaxed);
    m_fromNetworkAtLastCheck = m_flow->fromNetwork.load(std::memory_order_relaxed);
    // A few checks per timeout keep the detection close to the timeout without busy polling.
    const auto interval
        = std::clamp(m_timings.stallTimeout / 4, std::chrono::milliseconds(10), std::chrono::milliseconds(1000));
    m_stallSource = g_timeout_add(
        milliseconds(interval),
        [](gpointer self) -> gboolean {
            static_cast<GstMediaPlayer*>(self)->checkForStall();
            return G_SOURCE_CONTINUE;
        },
        this);
}

void GstMediaPlayer::checkForStall()
{
    const auto now = std::chrono::steady_clock::now();
    const auto toSink = m_flow->toSink.load(std::memory_order_relaxed);
    const auto fromNetwork = m_flow->fromNetwork.load(std::memory_order_relaxed);
    // Before the first audio, data arriving is progress too: a slow start (HLS, a loaded
    // machine) is not a stall. Once audio plays, only audio counts.
    const bool hasPlayed = toSink != m_toSinkAtAttemptStart;
    if (toSink != m_toSinkAtLastCheck || (!hasPlayed && fromNetwork != m_fromNetworkAtLastCheck))
        m_lastProgress = now;
    m_toSinkAtLastCheck = toSink;
    m_fromNetworkAtLastCheck = fromNetwork;
    // Covers what the bus never reports: a server that sends headers and then nothing, a
    // connection lost before the first audio byte, and data that never decodes into audio.
    if (now - m_lastProgress >= m_timings.stallTimeout)
        handleFailure(Failure::stall, hasPlayed ? "no audio reached the sink" : "no data arrived");
    else if (!hasPlayed && now - m_waitingForAudioSince >= m_timings.startTimeout)
        handleFailure(Failure::stall, "data arrived but no audio reached the sink");
}

void GstMediaPlayer::cancelRetry()
{
    if (m_retrySource)
        g_source_remove(std::exchange(m_retrySource, 0U));
}

void GstMediaPlayer::stopStallWatch()
{
    if (m_stallSource)
        g_source_remove(std::exchange(m_stallSource, 0U));
}
