#pragma once

// The loopback radio server (stream_server.py) as a test service: started by the object,
// stopped by process id when it goes.

#include "support/TestServices.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelna::test {

class StreamServer {
public:
    /// Starts the server on the given port (a free one when absent) and waits until it listens.
    explicit StreamServer(int port = 0)
        : m_process({ "/usr/bin/python3", ZELNA_SOURCE_DIR "/tests/support/stream_server.py", "--port",
                        std::to_string(port), "--media-dir", ZELNA_BINARY_DIR "/test-media" },
            {}, true)
    {
        // The first start in a build tree encodes the media files, which takes a few seconds.
        const auto listening = m_process.readLine(std::chrono::seconds(60));
        const auto refusing = m_process.readLine();
        if (!listening || !refusing || listening->rfind("PORT ", 0) != 0)
            throw std::runtime_error("the stream server did not start");
        m_port = std::stoi(listening->substr(5));
        m_refusedPort = std::stoi(refusing->substr(refusing->find(' ') + 1));
    }

    int port() const { return m_port; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }
    /// An address on loopback whose port refuses every connection while the server runs.
    std::string refusedUrl() const { return "http://127.0.0.1:" + std::to_string(m_refusedPort) + "/mp3"; }

    /// The User-Agent of each request for the path (with its query) so far.
    std::vector<std::string> userAgents(const std::string& path)
    {
        std::vector<std::string> agents;
        for (const auto& line : lines())
            if (line.rfind("REQUEST " + path + " ", 0) == 0)
                agents.push_back(line.substr(path.size() + 9));
        return agents;
    }
    int requestCount(const std::string& path) { return static_cast<int>(userAgents(path).size()); }
    int closedCount(const std::string& path)
    {
        const auto& all = lines();
        return static_cast<int>(std::count(all.begin(), all.end(), "CLOSED " + path));
    }

private:
    const std::vector<std::string>& lines()
    {
        while (auto line = m_process.readLine(std::chrono::milliseconds(0)))
            m_lines.push_back(*line);
        return m_lines;
    }

    ChildProcess m_process;
    int m_port = 0;
    int m_refusedPort = 0;
    std::vector<std::string> m_lines;
};

} // namespace zelna::test
