#pragma once

// HTTP/1.0 GET over GIO, blocking, for the threads that read the network: the streams' source on
// GStreamer's streaming thread, the update feed on a worker. One client for both, whose every
// wait a GCancellable interrupts: no thread of its own, no cross-thread completion, and TCP's own
// backpressure. Certificates are verified against the system's trust store.

#include "linux/support/Failure.h"

#include <optional>
#include <string>

inline constexpr int maximumHttpRedirects = 5;

/// A response head, with the connection it came on and the body after it.
struct HttpResponse {
    unsigned status = 0;
    std::string reason; ///< Printable ASCII and short: it ends up in log lines and notices.
    std::string location;
    std::optional<gint64> contentLength;
    GRefPtr<GIOStream> connection;
    GRefPtr<GInputStream> body;
};

bool isHttpUri(const char* uri);
bool isHttpRedirect(unsigned status);

/// Connects to uri (http or https), sends a GET with userAgent and reads the response head (at most
/// 16 KiB; chunked answers, which HTTP/1.0 forbids, are refused). Blocks: never on the main thread.
Result<HttpResponse> httpGet(const char* uri, const std::string& userAgent, GCancellable* cancellable);

/// Closes the connection's socket at once, without the goodbye TLS would wait on the peer for.
void closeHttpConnection(GIOStream* connection);
