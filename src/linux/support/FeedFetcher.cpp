#include "linux/support/FeedFetcher.h"

#include "linux/support/AppcastFeed.h"

#include <glib/gi18n-lib.h>
#include <libsoup/soup.h>

#include <algorithm>

namespace {

constexpr int maximumRedirects = 5;
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

Failure statusFailure(guint status)
{
    GUniquePtr<gchar> text(
        g_strdup_printf(_("The update server answered with status %u (%s)."), status, soup_status_get_phrase(status)));
    return { text.get() };
}

Failure tooLargeFailure()
{
    GUniquePtr<gchar> limit(g_format_size_full(FeedFetcher::maximumFeedSize, G_FORMAT_SIZE_IEC_UNITS));
    return { formatted(_("The update feed is larger than %s."), limit.get()) };
}

bool isRedirect(guint status)
{
    return status == SOUP_STATUS_MOVED_PERMANENTLY || status == SOUP_STATUS_FOUND || status == SOUP_STATUS_SEE_OTHER
        || status == SOUP_STATUS_TEMPORARY_REDIRECT || status == SOUP_STATUS_PERMANENT_REDIRECT;
}

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
    m_feed.clear();
    m_redirects = 0;
    if (!isAllowedFeedAddress(address)) {
        finish(Failure { _("The update feed's address is not a secure (https) one.") });
        return;
    }
    // libsoup verifies certificates against the system's trust store unless told otherwise.
    if (!m_session)
        m_session = GRefPtr<SoupSession>::adopt(soup_session_new_with_options("user-agent", m_userAgent.c_str(), nullptr));
    m_deadline = g_timeout_add(
        static_cast<guint>(std::max<std::int64_t>(m_timeout.count(), 0)),
        [](gpointer self) {
            auto* fetcher = static_cast<FeedFetcher*>(self);
            fetcher->m_deadline = 0;
            fetcher->finish(Failure { _("The update server did not answer in time.") });
            return G_SOURCE_REMOVE;
        },
        this);
    sendRequest(address);
}

void FeedFetcher::sendRequest(const std::string& address)
{
    m_message = GRefPtr<SoupMessage>::adopt(soup_message_new(SOUP_METHOD_GET, address.c_str()));
    if (!m_message) {
        finish(Failure { _("The update feed's address is not valid.") });
        return;
    }
    soup_message_add_flags(m_message.get(), SOUP_MESSAGE_NO_REDIRECT);
    const auto done = unlessCancelled(m_calls.cancellable(), [this](GObject* session, GAsyncResult* result) {
        GUniqueOutPtr<GError> error;
        auto body = GRefPtr<GInputStream>::adopt(soup_session_send_finish(SOUP_SESSION(session), result, &error.outPtr()));
        if (body)
            responseArrived(body.get());
        else
            finish(transferFailure(Failure::from(error.get())));
    });
    soup_session_send_async(m_session.get(), m_message.get(), G_PRIORITY_DEFAULT, m_calls.cancellable(), done.callback,
                            done.data);
}

void FeedFetcher::responseArrived(GInputStream* body)
{
    SoupMessage* message = m_message.get();
    const guint status = soup_message_get_status(message);
    if (isRedirect(status)) {
        const char* location = soup_message_headers_get_one(soup_message_get_response_headers(message), "Location");
        GUniquePtr<GUri> target(
            location ? g_uri_parse_relative(soup_message_get_uri(message), location, G_URI_FLAGS_NONE, nullptr)
                     : nullptr);
        if (!target) {
            finish(statusFailure(status));
            return;
        }
        GUniquePtr<gchar> address(g_uri_to_string(target.get()));
        if (++m_redirects > maximumRedirects)
            finish(Failure { _("The update server redirected too many times.") });
        else if (!isAllowedFeedAddress(address.get()))
            finish(Failure { _("The update server redirected to an address that is not secure.") });
        else
            sendRequest(address.get());
        return;
    }
    if (!SOUP_STATUS_IS_SUCCESSFUL(status)) {
        finish(statusFailure(status));
        return;
    }
    SoupMessageHeaders* headers = soup_message_get_response_headers(message);
    if (soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CONTENT_LENGTH
        && soup_message_headers_get_content_length(headers) > static_cast<goffset>(maximumFeedSize)) {
        finish(tooLargeFailure());
        return;
    }
    m_body = GRefPtr<GInputStream>::share(body);
    readMore();
}

void FeedFetcher::readMore()
{
    const auto done = unlessCancelled(m_calls.cancellable(), [this](GObject* stream, GAsyncResult* result) {
        GUniqueOutPtr<GError> error;
        GUniquePtr<GBytes> chunk(g_input_stream_read_bytes_finish(G_INPUT_STREAM(stream), result, &error.outPtr()));
        if (chunk)
            chunkRead(chunk.get());
        else
            finish(transferFailure(Failure::from(error.get())));
    });
    // Always a whole chunk: libsoup's chunked decoder fails an assertion on reads of a byte or two.
    g_input_stream_read_bytes_async(m_body.get(), readChunkSize, G_PRIORITY_DEFAULT, m_calls.cancellable(),
                                    done.callback, done.data);
}

void FeedFetcher::chunkRead(GBytes* chunk)
{
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(chunk, &size));
    if (size == 0)
        finish(std::move(m_feed));
    else if (m_feed.append(data, size).size() > maximumFeedSize)
        finish(tooLargeFailure());
    else
        readMore();
}

void FeedFetcher::finish(Result<std::string> feed)
{
    if (m_deadline)
        g_source_remove(std::exchange(m_deadline, 0));
    // Stops the transfer at once: a feed past the limit or a server past the deadline gets no more
    // of our time, and nothing it still sends reaches us.
    m_calls.cancelAll();
    m_message = nullptr;
    m_body = nullptr;
    m_feed.clear();
    // Taken first: the completion may start the next fetch.
    std::exchange(m_completion, {})(std::move(feed));
}
