#pragma once

// The loopback radio server (stream_server.py) as a test service: started by the object,
// stopped by process id when it goes.

#include "support/TestServices.h"

#include <optional>
#include <string>
#include <vector>

namespace zelna::test {

class StreamServer {
public:
    /// Starts the server on the given port (a free one when absent) and waits until it listens.
    explicit StreamServer(std::optional<int> port = std::nullopt);

    int port() const { return m_port; }
    /// "http://127.0.0.1:<port><path>"
    std::string url(const std::string& path) const;
    /// An address on loopback whose port refuses every connection while the server runs.
    std::string refusedUrl() const;
    /// "https://127.0.0.1:<tls port><path>", served with a self-signed certificate.
    std::string selfSignedUrl(const std::string& path) const;

    /// How often the path (with its query) was requested and how often such a connection closed,
    /// as the server has reported so far.
    int requestCount(const std::string& path);
    int closedCount(const std::string& path);
    /// The User-Agent of the last request for the path, or "" when none came.
    std::string lastUserAgent(const std::string& path);

    /// Stops the server; its connections drop.
    void stop();

private:
    void collect();

    std::optional<ChildProcess> m_process;
    int m_port = 0;
    int m_refusedPort = 0;
    int m_tlsPort = 0;
    std::vector<std::string> m_lines;
};

} // namespace zelna::test
