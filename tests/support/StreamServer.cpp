#include "support/StreamServer.h"

#include <stdexcept>

namespace zelna::test {

namespace {

std::optional<int> portAfter(const std::optional<std::string>& line, const std::string& prefix)
{
    if (!line || line->rfind(prefix, 0) != 0)
        return std::nullopt;
    return std::stoi(line->substr(prefix.size()));
}

} // namespace

StreamServer::StreamServer(std::optional<int> port)
{
    m_process.emplace(std::vector<std::string> { "/usr/bin/python3", ZELNA_SOURCE_DIR "/tests/support/stream_server.py",
                          "--port", std::to_string(port.value_or(0)), "--media-dir", ZELNA_BINARY_DIR "/test-media" },
        std::map<std::string, std::string> {}, true);
    // The first start in a build tree encodes the media files, which takes a few seconds.
    const auto listening = portAfter(m_process->readLine(std::chrono::seconds(60)), "PORT ");
    const auto refusing = portAfter(m_process->readLine(), "REFUSED_PORT ");
    const auto tls = portAfter(m_process->readLine(), "TLS_PORT ");
    if (!listening || !refusing || !tls)
        throw std::runtime_error("the stream server did not start");
    m_port = *listening;
    m_refusedPort = *refusing;
    m_tlsPort = *tls;
}

std::string StreamServer::url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::string StreamServer::refusedUrl() const
{
    return "http://127.0.0.1:" + std::to_string(m_refusedPort) + "/mp3";
}

std::string StreamServer::selfSignedUrl(const std::string& path) const
{
    return "https://127.0.0.1:" + std::to_string(m_tlsPort) + path;
}

void StreamServer::collect()
{
    if (!m_process)
        return;
    while (auto line = m_process->readLine(std::chrono::milliseconds(0)))
        m_lines.push_back(*line);
}

int StreamServer::requestCount(const std::string& path)
{
    collect();
    int count = 0;
    for (const auto& line : m_lines)
        count += line.rfind("REQUEST " + path + " ", 0) == 0;
    return count;
}

int StreamServer::closedCount(const std::string& path)
{
    collect();
    int count = 0;
    for (const auto& line : m_lines)
        count += line == "CLOSED " + path;
    return count;
}

std::string StreamServer::lastUserAgent(const std::string& path)
{
    collect();
    const std::string prefix = "REQUEST " + path + " ";
    std::string userAgent;
    for (const auto& line : m_lines)
        if (line.rfind(prefix, 0) == 0)
            userAgent = line.substr(prefix.size());
    return userAgent;
}

void StreamServer::stop()
{
    collect();
    m_process.reset();
}

} // namespace zelna::test
