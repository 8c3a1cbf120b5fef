#pragma once

#include "linux/support/AsyncCalls.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

/// Fetches the update feed over HTTPS with the program's one HTTP client, on a worker thread.
/// Redirects are followed by hand, so that every hop passes the same rule as the first address
/// (isAllowedFeedAddress); at most maximumFeedSize bytes are taken, and the transfer stops as soon
/// as the feed grows past them or the timeout passes. Nothing of TLS is loaded before the first fetch.
class FeedFetcher {
public:
    static constexpr std::size_t maximumFeedSize = 1024 * 1024;

    /// The feed's text, or why there is none in a sentence for the user.
    using Completion = std::function<void(Result<std::string> feed)>;

    FeedFetcher(std::string userAgent, std::chrono::milliseconds timeout);
    /// Abandons a fetch under way; its completion never runs.
    ~FeedFetcher();
    FeedFetcher(const FeedFetcher&) = delete;
    FeedFetcher& operator=(const FeedFetcher&) = delete;

    /// Starts fetching address; completion runs once, on the main loop (at once for an address
    /// that is refused). Ignored while a fetch is under way.
    void fetch(const std::string& address, Completion completion);
    bool isFetching() const { return static_cast<bool>(m_completion); }

private:
    void finish(Result<std::string> feed);

    std::string m_userAgent;
    std::chrono::milliseconds m_timeout;
    PendingCalls m_calls;
    Completion m_completion;
    guint m_deadline = 0;
};
