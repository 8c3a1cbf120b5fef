#include "linux/support/HttpClient.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <string_view>

namespace {

constexpr gsize maximumHeadBytes = 16 * 1024;
constexpr guint ioTimeoutSeconds = 20;

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

} // namespace

bool isHttpUri(const char* uri)
{
    return uri && (g_str_has_prefix(uri, "http://") || g_str_has_prefix(uri, "https://"));
}

bool isHttpRedirect(unsigned status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

void closeHttpConnection(GIOStream* connection)
{
    if (!connection)
        return;
    GIOStream* base = connection;
    if (G_IS_TLS_CONNECTION(base))
        g_object_get(base, "base-io-stream", &base, nullptr);
    else
        g_object_ref(base);
    if (G_IS_SOCKET_CONNECTION(base))
        g_socket_close(g_socket_connection_get_socket(G_SOCKET_CONNECTION(base)), nullptr);
    g_object_unref(base);
}

Result<HttpResponse> httpGet(const char* uri, const std::string& userAgent, GCancellable* cancellable)
{
    GUniqueOutPtr<GError> error;
    GUniquePtr<GUri> parsed(isHttpUri(uri) ? g_uri_parse(uri, G_URI_FLAGS_ENCODED, &error.outPtr()) : nullptr);
    const char* hostName = parsed ? g_uri_get_host(parsed.get()) : nullptr;
    if (!hostName || !*hostName)
        return Failure { error ? error->message : "the address names no http or https host" };
    const bool isHttps = g_strcmp0(g_uri_get_scheme(parsed.get()), "https") == 0;
    auto client = GRefPtr<GSocketClient>::adopt(g_socket_client_new());
    g_socket_client_set_timeout(client.get(), ioTimeoutSeconds);
    g_socket_client_set_tls(client.get(), isHttps);
    HttpResponse response;
    response.connection = GRefPtr<GIOStream>::adopt(G_IO_STREAM(
        g_socket_client_connect_to_uri(client.get(), uri, isHttps ? 443 : 80, cancellable, &error.outPtr())));
    if (!response.connection)
        return Failure::from(error.get());
    const auto failed = [&](Failure failure) {
        closeHttpConnection(response.connection.get());
        return failure;
    };

    const char* path = g_uri_get_path(parsed.get());
    const char* query = g_uri_get_query(parsed.get());
    const int port = g_uri_get_port(parsed.get());
    std::string host = std::strchr(hostName, ':') ? "[" + std::string(hostName) + "]" : std::string(hostName);
    if (port > 0)
        host += ":" + std::to_string(port);
    GUniquePtr<gchar> requestText(
        g_strdup_printf("GET %s%s%s HTTP/1.0\r\nHost: %s\r\nUser-Agent: %s\r\nAccept: */*\r\nConnection: close\r\n\r\n",
            *path ? path : "/", query ? "?" : "", query ? query : "", host.c_str(), userAgent.c_str()));
    if (!g_output_stream_write_all(g_io_stream_get_output_stream(response.connection.get()), requestText.get(),
            std::strlen(requestText.get()), nullptr, cancellable, &error.outPtr()))
        return failed(Failure::from(error.get()));

    auto* buffered = G_BUFFERED_INPUT_STREAM(
        g_buffered_input_stream_new_sized(g_io_stream_get_input_stream(response.connection.get()), maximumHeadBytes));
    response.body = GRefPtr<GInputStream>::adopt(G_INPUT_STREAM(buffered));
    std::string head;
    if (!readHead(buffered, cancellable, head, &error.outPtr()))
        return failed(Failure::from(error.get()));
    const auto parsedHead = parseHead(head);
    if (!parsedHead)
        return failed(Failure { "the server's answer is not HTTP", G_IO_ERROR, G_IO_ERROR_INVALID_DATA });
    if (parsedHead->isChunked)
        return failed(Failure { "the server sent a chunked answer", G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED });
    response.status = parsedHead->status;
    response.reason = parsedHead->reason;
    response.location = parsedHead->location;
    response.contentLength = parsedHead->contentLength;
    return response;
}
