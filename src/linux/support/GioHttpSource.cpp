#include "linux/support/GioHttpSource.h"

#include "linux/support/GOwnedGst.h"
#include "linux/support/Log.h"

#include <gst/base/gstpushsrc.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>

// Why not souphttpsrc: it runs libsoup on a thread of its own and cancels from the thread that
// stops the pipeline. Debian 12's libsoup 3.2 crashes that thread (a response stream freed after
// its message, fixed upstream in 3.7) when a cancel lands as the response arrives, which every
// channel switch, retry and stall can do. curlhttpsrc buffers without bound while the pipeline
// waits. Reading on the streaming thread keeps TCP's own backpressure and needs no locks.

namespace {

constexpr gsize maximumHeadBytes = 16 * 1024;
constexpr int maximumRedirects = 5;
constexpr guint ioTimeoutSeconds = 20;
constexpr gsize readSize = 16 * 1024;

std::string& requestUserAgent()
{
    static std::string value;
    return value;
}

bool isHttpUri(const char* uri)
{
    return uri && (g_str_has_prefix(uri, "http://") || g_str_has_prefix(uri, "https://"));
}

struct ResponseHead {
    unsigned status = 0;
    std::string reason;
    std::string location;
    std::optional<gint64> contentLength;
    bool isChunked = false;
};

/// Printable ASCII only, and not much of it: the text ends up in our log line.
std::string sanitised(std::string_view text)
{
    std::string clean;
    for (char c : text.substr(0, 80))
        clean += (c >= 0x20 && c < 0x7f) ? c : '?';
    return clean;
}

/// Parses a status line ("HTTP/1.1 200 OK", or Shoutcast's "ICY 200 OK") and the header fields
/// we act on. Nothing when the head is not HTTP.
std::optional<ResponseHead> parseHead(std::string_view head)
{
    ResponseHead parsed;
    bool isStatusLine = true;
    while (!head.empty()) {
        const auto end = head.find('\n');
        std::string_view line = head.substr(0, end);
        head = end == std::string_view::npos ? std::string_view() : head.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (isStatusLine) {
            isStatusLine = false;
            const auto space = line.find(' ');
            const auto protocol = line.substr(0, space);
            if (space == std::string_view::npos || (protocol.substr(0, 5) != "HTTP/" && protocol != "ICY"))
                return std::nullopt;
            const auto rest = line.substr(space + 1);
            if (rest.size() < 3 || std::from_chars(rest.data(), rest.data() + 3, parsed.status).ptr != rest.data() + 3)
                return std::nullopt;
            parsed.reason = sanitised(rest.size() > 4 ? rest.substr(4) : std::string_view());
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        std::string name(line.substr(0, colon));
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        if (name == "location")
            parsed.location = value;
        else if (name == "transfer-encoding")
            parsed.isChunked = true; // forbidden in an answer to HTTP/1.0; refused below
        else if (name == "content-length") {
            gint64 length = -1;
            const auto result = std::from_chars(value.data(), value.data() + value.size(), length);
            if (result.ec != std::errc() || result.ptr != value.data() + value.size() || length < 0)
                return std::nullopt;
            parsed.contentLength = length;
        }
    }
    return isStatusLine ? std::nullopt : std::optional(parsed);
}

bool isRedirect(unsigned status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
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
    if (self->connection) {
        // Closing the socket itself never waits on the peer, as a TLS goodbye could.
        GIOStream* base = self->connection;
        if (G_IS_TLS_CONNECTION(base))
            g_object_get(base, "base-io-stream", &base, nullptr);
        else
            g_object_ref(base);
        if (G_IS_SOCKET_CONNECTION(base))
            g_socket_close(g_socket_connection_get_socket(G_SOCKET_CONNECTION(base)), nullptr);
        g_object_unref(base);
        g_clear_object(&self->connection);
    }
}

/// Reads the response head into `head`, leaving the body's first bytes in `buffered`.
bool readHead(GBufferedInputStream* buffered, GCancellable* cancellable, std::string& head, GError** error)
{
    for (;;) {
        gsize available = 0;
        const auto* data = static_cast<const char*>(g_buffered_input_stream_peek_buffer(buffered, &available));
        const std::string_view received(data ? data : "", available);
        auto end = received.find("\r\n\r\n");
        gsize separator = 4;
        if (end == std::string_view::npos) {
            end = received.find("\n\n");
            separator = 2;
        }
        if (end != std::string_view::npos) {
            head.assign(received.substr(0, end));
            return g_input_stream_skip(G_INPUT_STREAM(buffered), end + separator, cancellable, error) >= 0;
        }
        if (available >= maximumHeadBytes) {
            g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_MESSAGE_TOO_LARGE, "the response headers are too large");
            return false;
        }
        const gssize filled = g_buffered_input_stream_fill(buffered, -1, cancellable, error);
        if (filled < 0)
            return false;
        if (filled == 0) {
            g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_CONNECTION_CLOSED, "the server closed before answering");
            return false;
        }
    }
}

/// One request to uri; the response head, with the connection and body kept on success.
std::optional<ResponseHead> request(ZelnaHttpSrc* self, const char* uri, GError** error)
{
    GUniquePtr<GUri> parsed(g_uri_parse(uri, G_URI_FLAGS_ENCODED, error));
    if (!parsed)
        return std::nullopt;
    const char* hostName = g_uri_get_host(parsed.get());
    if (!hostName || !*hostName) {
        g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT, "the address names no host");
        return std::nullopt;
    }
    const bool isHttps = g_strcmp0(g_uri_get_scheme(parsed.get()), "https") == 0;
    auto client = GRefPtr<GSocketClient>::adopt(g_socket_client_new());
    g_socket_client_set_timeout(client.get(), ioTimeoutSeconds);
    g_socket_client_set_tls(client.get(), isHttps);
    auto connection = GRefPtr<GSocketConnection>::adopt(
        g_socket_client_connect_to_uri(client.get(), uri, isHttps ? 443 : 80, self->cancellable, error));
    if (!connection)
        return std::nullopt;
    self->connection = G_IO_STREAM(g_object_ref(connection.get()));

    const char* path = g_uri_get_path(parsed.get());
    const char* query = g_uri_get_query(parsed.get());
    const int port = g_uri_get_port(parsed.get());
    std::string host = std::strchr(hostName, ':') ? "[" + std::string(hostName) + "]" : std::string(hostName);
    if (port > 0)
        host += ":" + std::to_string(port);
    GUniquePtr<gchar> requestText(g_strdup_printf(
        "GET %s%s%s HTTP/1.0\r\nHost: %s\r\nUser-Agent: %s\r\nAccept: */*\r\nConnection: close\r\n\r\n",
        *path ? path : "/", query ? "?" : "", query ? query : "", host.c_str(), requestUserAgent().c_str()));
    if (!g_output_stream_write_all(g_io_stream_get_output_stream(self->connection), requestText.get(),
                                   std::strlen(requestText.get()), nullptr, self->cancellable, error))
        return std::nullopt;

    auto* buffered = G_BUFFERED_INPUT_STREAM(
        g_buffered_input_stream_new_sized(g_io_stream_get_input_stream(self->connection), maximumHeadBytes));
    self->body = G_INPUT_STREAM(buffered);
    std::string head;
    if (!readHead(buffered, self->cancellable, head, error))
        return std::nullopt;
    auto response = parseHead(head);
    if (!response)
        g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA, "the server's answer is not HTTP");
    else if (response->isChunked) {
        g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED, "the server sent a chunked answer");
        response.reset();
    }
    return response;
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
        GUniqueOutPtr<GError> error;
        const auto response = request(self, uri.get(), &error.outPtr());
        if (!response) {
            closeConnection(self);
            if (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED))
                return GST_FLOW_FLUSHING;
            GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ, ("%s", error->message), ("%s", uri.get()));
            return GST_FLOW_ERROR;
        }
        if (isRedirect(response->status) && !response->location.empty()) {
            closeConnection(self);
            GUniquePtr<gchar> target(g_uri_resolve_relative(uri.get(), response->location.c_str(), G_URI_FLAGS_ENCODED,
                                                            nullptr));
            if (!isHttpUri(target.get()) || redirects == maximumRedirects) {
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
