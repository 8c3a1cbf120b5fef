#pragma once

#include "linux/support/AsyncCalls.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

typedef struct _SoupMessage SoupMessage;
typedef struct _SoupSession SoupSession;

/// Fetches the update feed over HTTPS with libsoup on the main loop. Redirects are followed by
/// hand, so that every hop passes the same rule as the first address (isAllowedFeedAddress);
/// at most maximumFeedSize bytes are taken, and the transfer stops as soon as the feed grows past
/// them or the timeout passes. The HTTP session is made at the first fetch: an idle program never
/// loads TLS.
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
    void sendRequest(const std::string& address);
    void responseArrived(GInputStream* body);
    void readMore();
    void chunkRead(GBytes* chunk);
    void finish(Result<std::string> feed);

    std::string m_userAgent;
    std::chrono::milliseconds m_timeout;
    GRefPtr<SoupSession> m_session;
    PendingCalls m_calls;
    Completion m_completion;
    GRefPtr<SoupMessage> m_message;
    GRefPtr<GInputStream> m_body;
    std::string m_feed;
    int m_redirects = 0;
    guint m_deadline = 0;
};
