#pragma once

#include <string>

/// Registers zelnahttpsrc, a GStreamer source for http and https URIs over GIO sockets, above
/// every other source for those schemes, so that playbin and the demuxers it plugs fetch with it.
/// It reads on the streaming thread with blocking calls that a cancellable interrupts: no thread
/// of its own, and the network is read only as fast as the pipeline consumes. Requests are
/// HTTP/1.0 (never chunked) and carry userAgent; certificates are verified; redirects are
/// followed to http and https only, five at most. Call after gst_init; later calls do nothing.
void registerGioHttpSource(const std::string& userAgent);
