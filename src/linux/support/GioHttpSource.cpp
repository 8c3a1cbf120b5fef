#include "linux/support/GioHttpSource.h"

#include "linux/support/GOwnedGst.h"
#include "linux/support/HttpClient.h"
#include "linux/support/Log.h"

#include <gst/base/gstpushsrc.h>

#include <array>
#include <string>

// Why not souphttpsrc: it runs libsoup on a thread of its own and cancels from the thread that
// stops the pipeline. Debian 12's libsoup 3.2 crashes that thread (a response stream freed after
// its message, fixed upstream in 3.7) when a cancel lands as the response arrives, which every
// channel switch, retry and stall can do. curlhttpsrc buffers without bound while the pipeline
// waits. Reading on the streaming thread keeps TCP's own backpressure and needs no locks.

namespace {

constexpr gsize readSize = 16 * 1024;

std::string& requestUserAgent()
{
    static std::string value;
    return value;
}

} // namespace

struct ZelnaHttpSrc {
    GstPushSrc parent;
    // Set while READY or below (GstURIHandler), read when a request starts; under the object lock.
    gchar* uri;
    // Where the last redirect led, for the URI query that adaptive demuxers resolve against.
    gchar* redirectedUri;
    gboolean isPermanentRedirect;
    // Everything below belongs to the streaming thread between start() and stop().
    GCancellable* cancellable;
    GIOStream* connection;
    GInputStream* body;
    gint64 contentLength;
    gint64 bytesRead;
};

struct ZelnaHttpSrcClass {
    GstPushSrcClass parentClass;
};

namespace {

GType zelnaHttpSrcType();
GstPushSrcClass* parentClass = nullptr;

ZelnaHttpSrc* asSource(gpointer object)
{
    return G_TYPE_CHECK_INSTANCE_CAST(object, zelnaHttpSrcType(), ZelnaHttpSrc);
}

void closeConnection(ZelnaHttpSrc* self)
{
    g_clear_object(&self->body);
    closeHttpConnection(self->connection);
    g_clear_object(&self->connection);
}

/// Connects, following redirects; posts an error and fails when there is nothing to read.
GstFlowReturn open(ZelnaHttpSrc* self)
{
    GST_OBJECT_LOCK(self);
    GUniquePtr<gchar> uri(g_strdup(self->uri));
    GST_OBJECT_UNLOCK(self);
    if (!isHttpUri(uri.get())) {
        GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("No http or https address to read."), (nullptr));
        return GST_FLOW_ERROR;
    }
    bool isPermanent = true;
    for (int redirects = 0;; ++redirects) {
        auto response = httpGet(uri.get(), requestUserAgent(), self->cancellable);
        if (!response) {
            if (response.failure().matches(G_IO_ERROR, G_IO_ERROR_CANCELLED))
                return GST_FLOW_FLUSHING;
            GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ, ("%s", response.failure().message.c_str()), ("%s", uri.get()));
            return GST_FLOW_ERROR;
        }
        self->connection = G_IO_STREAM(response->connection.leakRef());
        self->body = G_INPUT_STREAM(response->body.leakRef());
        if (isHttpRedirect(response->status) && !response->location.empty()) {
            closeConnection(self);
            GUniquePtr<gchar> target(g_uri_resolve_relative(uri.get(), response->location.c_str(), G_URI_FLAGS_ENCODED,
                                                            nullptr));
            if (!isHttpUri(target.get()) || redirects == maximumHttpRedirects) {
                GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ, ("A redirect that is not followed."), ("%s", uri.get()));
                return GST_FLOW_ERROR;
            }
            isPermanent = isPermanent && (response->status == 301 || response->status == 308);
            uri = std::move(target);
            GST_OBJECT_LOCK(self);
            g_free(self->redirectedUri);
            self->redirectedUri = g_strdup(uri.get());
            self->isPermanentRedirect = isPermanent;
            GST_OBJECT_UNLOCK(self);
            continue;
        }
        if (response->status < 200 || response->status >= 300) {
            closeConnection(self);
            const std::string reason = response->reason.empty() ? std::to_string(response->status) : response->reason;
            if (response->status == 404 || response->status == 410)
                GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("%s", reason.c_str()), ("%s", uri.get()));
            else
                GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ, ("%s", reason.c_str()), ("%s", uri.get()));
            return GST_FLOW_ERROR;
        }
        self->contentLength = response->contentLength.value_or(-1);
        self->bytesRead = 0;
        if (self->contentLength >= 0) {
            // What lets the parsers know a stream's length, and the player tell an ending from a drop.
            GST_OBJECT_LOCK(self);
            GST_BASE_SRC(self)->segment.duration = static_cast<guint64>(self->contentLength);
            GST_OBJECT_UNLOCK(self);
            gst_element_post_message(GST_ELEMENT(self), gst_message_new_duration_changed(GST_OBJECT(self)));
        }
        return GST_FLOW_OK;
    }
}

GstFlowReturn create(GstPushSrc* pushSource, GstBuffer** buffer)
{
    auto* self = asSource(pushSource);
    if (!self->body) {
        const GstFlowReturn opened = open(self);
        if (opened != GST_FLOW_OK)
            return opened;
    }
    std::array<guint8, readSize> chunk;
    GUniqueOutPtr<GError> error;
    const gssize count = g_input_stream_read(self->body, chunk.data(), chunk.size(), self->cancellable, &error.outPtr());
    if (count < 0) {
        if (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED))
            return GST_FLOW_FLUSHING;
        GST_ELEMENT_ERROR(self, RESOURCE, READ, ("%s", error->message), (nullptr));
        return GST_FLOW_ERROR;
    }
    if (count == 0) {
        if (self->contentLength >= 0 && self->bytesRead < self->contentLength) {
            GST_ELEMENT_ERROR(self, RESOURCE, READ, ("The server closed before the end of the stream."), (nullptr));
            return GST_FLOW_ERROR;
        }
        return GST_FLOW_EOS;
    }
    // A live stream arrives a packet at a time: a buffer of its own size keeps the queues
    // downstream, which count bytes, from holding sixteen times what they count.
    *buffer = gst_buffer_new_memdup(chunk.data(), static_cast<gsize>(count));
    GST_BUFFER_OFFSET(*buffer) = static_cast<guint64>(self->bytesRead);
    self->bytesRead += count;
    return GST_FLOW_OK;
}

gboolean start(GstBaseSrc* baseSource)
{
    auto* self = asSource(baseSource);
    self->contentLength = -1;
    self->bytesRead = 0;
    // Connecting waits for the network, so it happens on the streaming thread, not here.
    return TRUE;
}

gboolean stop(GstBaseSrc* baseSource)
{
    closeConnection(asSource(baseSource));
    return TRUE;
}

gboolean unlock(GstBaseSrc* baseSource)
{
    g_cancellable_cancel(asSource(baseSource)->cancellable);
    return TRUE;
}

gboolean unlockStop(GstBaseSrc* baseSource)
{
    // The streaming thread has left its blocking call by now; nothing else uses the cancellable.
    g_cancellable_reset(asSource(baseSource)->cancellable);
    return TRUE;
}

gboolean getSize(GstBaseSrc* baseSource, guint64* size)
{
    auto* self = asSource(baseSource);
    if (self->contentLength < 0)
        return FALSE;
    *size = static_cast<guint64>(self->contentLength);
    return TRUE;
}

gboolean isSeekable(GstBaseSrc*)
{
    return FALSE;
}

gboolean query(GstBaseSrc* baseSource, GstQuery* query)
{
    if (GST_QUERY_TYPE(query) != GST_QUERY_URI)
        return GST_BASE_SRC_CLASS(parentClass)->query(baseSource, query);
    auto* self = asSource(baseSource);
    GST_OBJECT_LOCK(self);
    gst_query_set_uri(query, self->uri);
    if (self->redirectedUri) {
        gst_query_set_uri_redirection(query, self->redirectedUri);
        gst_query_set_uri_redirection_permanent(query, self->isPermanentRedirect);
    }
    GST_OBJECT_UNLOCK(self);
    return TRUE;
}

void finalize(GObject* object)
{
    auto* self = asSource(object);
    closeConnection(self);
    g_free(self->uri);
    g_free(self->redirectedUri);
    g_object_unref(self->cancellable);
    G_OBJECT_CLASS(parentClass)->finalize(object);
}

void initInstance(GTypeInstance* instance, gpointer)
{
    auto* self = reinterpret_cast<ZelnaHttpSrc*>(instance);
    self->cancellable = g_cancellable_new();
    self->contentLength = -1;
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_BYTES);
}

void initClass(gpointer klass, gpointer)
{
    parentClass = static_cast<GstPushSrcClass*>(g_type_class_peek_parent(klass));
    G_OBJECT_CLASS(klass)->finalize = finalize;
    auto* elementClass = GST_ELEMENT_CLASS(klass);
    static GstStaticPadTemplate sourceTemplate = GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);
    gst_element_class_add_static_pad_template(elementClass, &sourceTemplate);
    gst_element_class_set_static_metadata(elementClass, "HTTP source over GIO", "Source/Network",
                                          "Reads http and https streams on the streaming thread", "ZelnaMenu");
    auto* baseClass = GST_BASE_SRC_CLASS(klass);
    baseClass->start = start;
    baseClass->stop = stop;
    baseClass->unlock = unlock;
    baseClass->unlock_stop = unlockStop;
    baseClass->get_size = getSize;
    baseClass->is_seekable = isSeekable;
    baseClass->query = query;
    GST_PUSH_SRC_CLASS(klass)->create = create;
}

void initUriHandler(gpointer interface, gpointer)
{
    auto* handler = static_cast<GstURIHandlerInterface*>(interface);
    handler->get_type = [](GType) { return GST_URI_SRC; };
    handler->get_protocols = [](GType) -> const gchar* const* {
        static const gchar* const protocols[] = { "http", "https", nullptr };
        return protocols;
    };
    handler->get_uri = [](GstURIHandler* handler) {
        auto* self = asSource(handler);
        GST_OBJECT_LOCK(self);
        gchar* uri = g_strdup(self->uri);
        GST_OBJECT_UNLOCK(self);
        return uri;
    };
    handler->set_uri = [](GstURIHandler* handler, const gchar* uri, GError** error) -> gboolean {
        auto* self = asSource(handler);
        if (GST_STATE(self) > GST_STATE_READY) {
            g_set_error_literal(error, GST_URI_ERROR, GST_URI_ERROR_BAD_STATE, "the address changes only when stopped");
            return FALSE;
        }
        if (!isHttpUri(uri)) {
            g_set_error_literal(error, GST_URI_ERROR, GST_URI_ERROR_BAD_URI, "not an http or https address");
            return FALSE;
        }
        GST_OBJECT_LOCK(self);
        g_free(self->uri);
        self->uri = g_strdup(uri);
        g_clear_pointer(&self->redirectedUri, g_free);
        GST_OBJECT_UNLOCK(self);
        return TRUE;
    };
}

GType zelnaHttpSrcType()
{
    static const GType type = [] {
        const GType registered = g_type_register_static_simple(GST_TYPE_PUSH_SRC, "ZelnaHttpSrc",
            sizeof(ZelnaHttpSrcClass), initClass, sizeof(ZelnaHttpSrc), initInstance, GTypeFlags(0));
        const GInterfaceInfo uriHandler { initUriHandler, nullptr, nullptr };
        g_type_add_interface_static(registered, GST_TYPE_URI_HANDLER, &uriHandler);
        return registered;
    }();
    return type;
}

} // namespace

void registerGioHttpSource(const std::string& userAgent)
{
    static const bool isRegistered = [&] {
        requestUserAgent() = userAgent;
        return gst_element_register(nullptr, "zelnahttpsrc", GST_RANK_PRIMARY + 1, zelnaHttpSrcType());
    }();
    if (!isRegistered)
        logLine("the http source could not be registered; GStreamer's own is used");
}
