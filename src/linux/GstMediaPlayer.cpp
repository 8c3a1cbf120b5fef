#include "linux/GstMediaPlayer.h"

#include "linux/GioHttpSource.h"

#include <gst/base/gstbasesink.h>

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

} // namespace

GstMediaPlayerFactory::GstMediaPlayerFactory(GstRetryTimings timings)
    : m_timings(timings)
{ }

std::unique_ptr<MediaPlayer> GstMediaPlayerFactory::makePlayer(PlayerItem item)
{
    // GStreamer loads its plugin registry on initialisation: a program that sits idle in the
    // panel should not carry it (memory, start-up time) until the first channel is chosen.
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    registerGioHttpSource(userAgent);
    return std::make_unique<GstMediaPlayer>(std::move(item), m_timings);
}

GstMediaPlayer::GstMediaPlayer(PlayerItem item, GstRetryTimings timings)
    : m_uri(std::move(item.url.absoluteString))
    , m_timings(timings)
    , m_pipeline(GRefPtr<GstElement>::adopt(gst_element_factory_make("playbin", nullptr)))
    , m_nextRetryDelay(timings.firstRetryDelay)
{
    if (!m_pipeline) {
        g_printerr("zelnamenu: cannot play %s: GStreamer's playbin is not installed\n", m_uri.c_str());
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
    m_sourceSetupHandler = g_signal_connect(m_pipeline.get(), "source-setup",
        G_CALLBACK(+[](GstElement*, GstElement* source, gpointer self) {
            static_cast<GstMediaPlayer*>(self)->setUpSource(source);
        }),
        this);
    m_elementAddedHandler = g_signal_connect(m_pipeline.get(), "deep-element-added",
        G_CALLBACK(+[](GstBin*, GstBin*, GstElement* element, gpointer self) {
            static_cast<GstMediaPlayer*>(self)->watchSink(element);
        }),
        this);
}

GstMediaPlayer::~GstMediaPlayer()
{
    cancelRetry();
    stopStallWatch();
    if (!m_pipeline)
        return;
    g_source_remove(m_busWatch);
    // NULL joins the streaming threads, so no probe or signal handler can run after this.
    gst_element_set_state(m_pipeline.get(), GST_STATE_NULL);
    g_signal_handler_disconnect(m_pipeline.get(), m_sourceSetupHandler);
    g_signal_handler_disconnect(m_pipeline.get(), m_elementAddedHandler);
}

void GstMediaPlayer::play()
{
    if (!m_pipeline)
        return;
    m_isMeantToPlay = true;
    if (m_isStreamOpen) {
        applyTargetState();
        watchForStall();
        return;
    }
    // The first start, or the last attempt failed while paused, was given up or ended: open anew.
    cancelRetry();
    m_hasGivenUp = false;
    m_hasFinished = false;
    m_failingSince.reset();
    m_nextRetryDelay = m_timings.firstRetryDelay;
    startAttempt();
}

void GstMediaPlayer::pause()
{
    m_isMeantToPlay = false;
    cancelRetry();
    stopStallWatch();
    if (m_pipeline && m_isStreamOpen)
        gst_element_set_state(m_pipeline.get(), GST_STATE_PAUSED);
}

float GstMediaPlayer::rate() const
{
    return m_isMeantToPlay && !m_hasGivenUp && !m_hasFinished && m_pipeline ? 1.0F : 0.0F;
}

void GstMediaPlayer::startAttempt()
{
    // NULL drops what is left of an earlier attempt; READY is not enough after some errors,
    // which leave the decoding bin unlinked.
    gst_element_set_state(m_pipeline.get(), GST_STATE_NULL);
    m_isStreamOpen = true;
    m_isBuffering = false;
    m_bufferingPercent = 0;
    m_sinkBuffersAtAttemptStart = m_sinkBuffers.load(std::memory_order_relaxed);
    applyTargetState();
    watchForStall();
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
        handleFailure(Failure::error, errorMessage(error.get()));
        break;
    }
    case GST_MESSAGE_EOS: {
        gint64 duration = -1;
        if (m_isStreamOpen && gst_element_query_duration(m_pipeline.get(), GST_FORMAT_TIME, &duration)
            && duration > 0) {
            // A stream of known length simply ended: nothing to reconnect to.
            m_isStreamOpen = false;
            m_hasFinished = true;
            stopStallWatch();
            gst_element_set_state(m_pipeline.get(), GST_STATE_NULL);
            break;
        }
        handleFailure(Failure::endOfStream, "the server ended the stream");
        break;
    }
    case GST_MESSAGE_BUFFERING: {
        if (!m_isStreamOpen)
            break;
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
        if (m_isStreamOpen && m_isMeantToPlay) {
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
    // Messages still queued from an attempt that already failed change nothing.
    if (!m_isStreamOpen)
        return;
    m_isStreamOpen = false;
    stopStallWatch();
    gst_element_set_state(m_pipeline.get(), GST_STATE_NULL);
    if (!m_isMeantToPlay)
        return; // A paused player never retries; play() opens the stream anew.

    const auto now = std::chrono::steady_clock::now();
    if (m_sinkBuffers.load(std::memory_order_relaxed) != m_sinkBuffersAtAttemptStart) {
        // This attempt played: the run of failures starts over.
        m_failingSince.reset();
        m_nextRetryDelay = m_timings.firstRetryDelay;
    }
    const char* what = failure == Failure::error ? "failed" : failure == Failure::stall ? "stalled" : "ended";
    if (!m_failingSince) {
        m_failingSince = now;
        g_printerr("zelnamenu: the stream %s %s (%s); reconnecting\n", m_uri.c_str(), what, detail.c_str());
    }
    if (now - *m_failingSince >= m_timings.giveUpAfter) {
        m_hasGivenUp = true;
        g_printerr("zelnamenu: giving up on the stream %s, which has failed for %lld s (last: %s)\n", m_uri.c_str(),
            static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(now - *m_failingSince).count()),
            detail.c_str());
        return;
    }
    m_retrySource = g_timeout_add(
        milliseconds(m_nextRetryDelay),
        [](gpointer self) -> gboolean {
            static_cast<GstMediaPlayer*>(self)->retry();
            return G_SOURCE_REMOVE;
        },
        this);
    m_nextRetryDelay = std::min(m_nextRetryDelay * 2, m_timings.longestRetryDelay);
}

void GstMediaPlayer::retry()
{
    m_retrySource = 0;
    startAttempt();
}

void GstMediaPlayer::watchForStall()
{
    stopStallWatch();
    m_lastProgress = std::chrono::steady_clock::now();
    m_sinkBuffersAtLastCheck = m_sinkBuffers.load(std::memory_order_relaxed);
    // A few checks per timeout keep the detection close to the timeout without busy polling.
    const auto interval
        = std::clamp(m_timings.stallTimeout / 4, std::chrono::milliseconds(10), std::chrono::milliseconds(1000));
    m_stallSource = g_timeout_add(
        milliseconds(interval),
        [](gpointer data) -> gboolean {
            auto* self = static_cast<GstMediaPlayer*>(data);
            const auto now = std::chrono::steady_clock::now();
            const auto buffers = self->m_sinkBuffers.load(std::memory_order_relaxed);
            if (buffers != self->m_sinkBuffersAtLastCheck) {
                self->m_sinkBuffersAtLastCheck = buffers;
                self->m_lastProgress = now;
                return G_SOURCE_CONTINUE;
            }
            if (now - self->m_lastProgress < self->m_timings.stallTimeout)
                return G_SOURCE_CONTINUE;
            // Covers what the bus never reports: a server that sends headers and then nothing,
            // and a connection lost before the first audio byte.
            self->m_stallSource = 0;
            self->handleFailure(Failure::stall, "no audio reached the sink");
            return G_SOURCE_REMOVE;
        },
        this);
}

void GstMediaPlayer::setUpSource(GstElement* source)
{
    // For the http source GStreamer itself would pick were ours not registered.
    if (hasProperty(source, "user-agent"))
        g_object_set(source, "user-agent", userAgent, nullptr);
    if (hasProperty(source, "ssl-strict"))
        g_object_set(source, "ssl-strict", TRUE, nullptr);
}

void GstMediaPlayer::watchSink(GstElement* element)
{
    // Runs in whichever thread added the element; it only installs a probe, which is thread-safe.
    if (!isAudioSink(element))
        return;
    auto pad = GRefPtr<GstPad>::adopt(gst_element_get_static_pad(element, "sink"));
    if (!pad)
        return;
    gst_pad_add_probe(
        pad.get(), static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        [](GstPad*, GstPadProbeInfo*, gpointer self) {
            static_cast<GstMediaPlayer*>(self)->m_sinkBuffers.fetch_add(1, std::memory_order_relaxed);
            return GST_PAD_PROBE_OK;
        },
        this, nullptr);
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
