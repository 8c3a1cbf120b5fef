#include "linux/support/FeedFetcher.h"

#include "linux/support/AppcastFeed.h"
#include "linux/support/HttpClient.h"

#include <glib/gi18n-lib.h>

#include <algorithm>
#include <array>
#include <memory>

namespace {

constexpr std::size_t readChunkSize = 64 * 1024;

std::string formatted(const char* format, const char* argument)
{
    GUniquePtr<gchar> text(g_strdup_printf(format, argument));
    return text.get();
}

Failure transferFailure(const Failure& failure)
{
    if (failure.matches(G_TLS_ERROR, G_TLS_ERROR_BAD_CERTIFICATE))
        return { _("The update server's certificate is not trusted.") };
    return { formatted(_("The update server could not be reached (%s)."), failure.message.c_str()) };
}

Failure statusFailure(const HttpResponse& response)
{
    GUniquePtr<gchar> text(g_strdup_printf(_("The update server answered with status %u (%s)."), response.status,
        response.reason.empty() ? "-" : response.reason.c_str()));
    return { text.get() };
}

Failure tooLargeFailure()
{
    GUniquePtr<gchar> limit(g_format_size_full(FeedFetcher::maximumFeedSize, G_FORMAT_SIZE_IEC_UNITS));
    return { formatted(_("The update feed is larger than %s."), limit.get()) };
}

/// The whole fetch, blocking, on a worker thread.
Result<std::string> download(std::string address, const std::string& userAgent, GCancellable* cancellable)
{
    for (int redirects = 0;; ++redirects) {
        auto response = httpGet(address.c_str(), userAgent, cancellable);
        if (!response)
            return transferFailure(response.failure());
        // The connection goes with this response, closed at once whatever is left to read.
        const std::unique_ptr<GIOStream, void (*)(GIOStream*)> closer(response->connection.get(), closeHttpConnection);
        if (isHttpRedirect(response->status)) {
            GUniquePtr<gchar> target(response->location.empty()
                    ? nullptr
                    : g_uri_resolve_relative(address.c_str(), response->location.c_str(), G_URI_FLAGS_NONE, nullptr));
            if (!target)
                return statusFailure(*response);
            if (redirects == maximumHttpRedirects)
                return Failure { _("The update server redirected too many times.") };
            if (!isAllowedFeedAddress(target.get()))
                return Failure { _("The update server redirected to an address that is not secure.") };
            address = target.get();
            continue;
        }
        if (response->status < 200 || response->status >= 300)
            return statusFailure(*response);
        if (response->contentLength.value_or(0) > static_cast<gint64>(FeedFetcher::maximumFeedSize))
            return tooLargeFailure();
        std::string feed;
        std::array<char, readChunkSize> chunk;
        for (;;) {
            GUniqueOutPtr<GError> error;
            const gssize count
                = g_input_stream_read(response->body.get(), chunk.data(), chunk.size(), cancellable, &error.outPtr());
            if (count < 0)
                return transferFailure(Failure::from(error.get()));
            if (count == 0)
                return feed;
            if (feed.append(chunk.data(), static_cast<std::size_t>(count)).size() > FeedFetcher::maximumFeedSize)
                return tooLargeFailure();
        }
    }
}

struct DownloadJob {
    std::string address;
    std::string userAgent;
};

} // namespace

FeedFetcher::FeedFetcher(std::string userAgent, std::chrono::milliseconds timeout)
    : m_userAgent(std::move(userAgent))
    , m_timeout(timeout)
{
}

FeedFetcher::~FeedFetcher()
{
    if (m_deadline)
        g_source_remove(m_deadline);
}

void FeedFetcher::fetch(const std::string& address, Completion completion)
{
    if (isFetching())
        return;
    m_completion = std::move(completion);
    if (!isAllowedFeedAddress(address)) {
        finish(Failure { _("The update feed's address is not a secure (https) one.") });
        return;
    }
    m_deadline = g_timeout_add(
        static_cast<guint>(std::max<std::int64_t>(m_timeout.count(), 0)),
        [](gpointer self) {
            auto* fetcher = static_cast<FeedFetcher*>(self);
            fetcher->m_deadline = 0;
            fetcher->finish(Failure { _("The update server did not answer in time.") });
            return G_SOURCE_REMOVE;
        },
        this);
    const auto done = unlessCancelled(m_calls.cancellable(), [this](GObject*, GAsyncResult* result) {
        std::unique_ptr<Result<std::string>> feed(
            static_cast<Result<std::string>*>(g_task_propagate_pointer(G_TASK(result), nullptr)));
        finish(feed ? std::move(*feed) : Failure { _("The update server could not be reached.") });
    });
    auto task = GRefPtr<GTask>::adopt(g_task_new(nullptr, m_calls.cancellable(), done.callback, done.data));
    g_task_set_task_data(task.get(), new DownloadJob { address, m_userAgent },
        [](gpointer job) { delete static_cast<DownloadJob*>(job); });
    g_task_run_in_thread(task.get(), [](GTask* task, gpointer, gpointer data, GCancellable* cancellable) {
        const auto* job = static_cast<DownloadJob*>(data);
        g_task_return_pointer(task, new Result<std::string>(download(job->address, job->userAgent, cancellable)),
            [](gpointer feed) { delete static_cast<Result<std::string>*>(feed); });
    });
}

void FeedFetcher::finish(Result<std::string> feed)
{
    if (m_deadline)
        g_source_remove(std::exchange(m_deadline, 0));
    // Stops the transfer at once: a feed past the limit or a server past the deadline gets no more
    // of our time, and nothing it still sends reaches us.
    m_calls.cancelAll();
    // Taken first: the completion may start the next fetch.
    std::exchange(m_completion, {})(std::move(feed));
}
