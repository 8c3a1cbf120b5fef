#include "linux/AppcastUpdater.h"

#include <glib/gi18n-lib.h>

#include <algorithm>

namespace {

constexpr std::string_view checkForUpdatesAction = "checkForUpdates:";
constexpr const char* notificationsName = "org.freedesktop.Notifications";
constexpr const char* notificationsPath = "/org/freedesktop/Notifications";
constexpr const char* downloadActionKey = "download";
constexpr int maximumRedirects = 5;
constexpr std::size_t readChunkSize = 64 * 1024;
// A timer longer than this would be stretched by a suspend (GLib timers stop with the machine),
// so long waits are cut into slices and the wall clock is read again after each.
constexpr std::chrono::milliseconds longestTimerSlice = std::chrono::hours(1);

std::chrono::milliseconds wallClock()
{
    return std::chrono::milliseconds(g_get_real_time() / 1000);
}

guint addTimeout(std::chrono::milliseconds delay, GSourceFunc function, gpointer data)
{
    return g_timeout_add(static_cast<guint>(std::max<std::int64_t>(delay.count(), 0)), function, data);
}

void removeSource(guint& source)
{
    if (source)
        g_source_remove(std::exchange(source, 0));
}

std::string formatted(const char* format, const char* argument)
{
    GUniquePtr<gchar> text(g_strdup_printf(format, argument));
    return text.get();
}

std::string transferFailure(const GError* error)
{
    if (g_error_matches(error, G_TLS_ERROR, G_TLS_ERROR_BAD_CERTIFICATE))
        return _("The update server's certificate is not trusted.");
    return formatted(_("The update server could not be reached (%s)."), errorMessage(error).c_str());
}

std::string statusFailure(guint status)
{
    GUniquePtr<gchar> text(
        g_strdup_printf(_("The update server answered with status %u (%s)."), status, soup_status_get_phrase(status)));
    return text.get();
}

std::string tooLargeFailure()
{
    return _("The update feed is larger than 1 MiB.");
}

// Servers that read markup know only the three entities the notification protocol names.
std::string escapedForMarkup(std::string_view text)
{
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

bool isRedirect(guint status)
{
    return status == SOUP_STATUS_MOVED_PERMANENTLY || status == SOUP_STATUS_FOUND || status == SOUP_STATUS_SEE_OTHER
        || status == SOUP_STATUS_TEMPORARY_REDIRECT || status == SOUP_STATUS_PERMANENT_REDIRECT;
}

} // namespace

// One fetch of the feed, from the request to the verdict.
struct AppcastUpdater::Check {
    Check(CheckKind kind, std::uint64_t number)
        : kind(kind)
        , number(number)
    {
    }

    CheckKind kind;
    std::uint64_t number;
    GRefPtr<GCancellable> cancellable = GRefPtr<GCancellable>::adopt(g_cancellable_new());
    GRefPtr<SoupMessage> message;
    GRefPtr<GInputStream> stream;
    std::string body;
    int redirects = 0;
    guint deadline = 0;
};

// Each asynchronous step names its updater and its check, so that a reply arriving after the
// check ended (timed out, too large) or after the updater went is dropped unseen.
struct AppcastUpdater::CheckStep {
    std::weak_ptr<AppcastUpdater> updater;
    std::uint64_t check;
};

gpointer AppcastUpdater::newCheckStep()
{
    return new CheckStep{weak_from_this(), m_check->number};
}

std::shared_ptr<AppcastUpdater> AppcastUpdater::resumeCheck(gpointer data, const GError* error)
{
    const std::unique_ptr<CheckStep> step(static_cast<CheckStep*>(data));
    auto updater = step->updater.lock();
    if (!updater || !updater->m_check || updater->m_check->number != step->check)
        return nullptr;
    if (error) {
        updater->finishCheck(std::nullopt, transferFailure(error));
        return nullptr;
    }
    return updater;
}

std::shared_ptr<AppcastUpdater> AppcastUpdater::make(GDBusConnection* connection, AppcastSettings settings,
                                                     LastUpdateCheckStore lastCheck)
{
    return std::shared_ptr<AppcastUpdater>(new AppcastUpdater(connection, std::move(settings), std::move(lastCheck)));
}

AppcastUpdater::AppcastUpdater(GDBusConnection* connection, AppcastSettings settings, LastUpdateCheckStore lastCheck)
    : m_connection(GRefPtr<GDBusConnection>::share(connection))
    , m_settings(std::move(settings))
    , m_lastCheck(std::move(lastCheck))
{
    const std::string userAgent = "ZelnaMenu/" + m_settings.runningVersion;
    // libsoup verifies certificates against the system's trust store unless told otherwise.
    m_session = GRefPtr<SoupSession>::adopt(soup_session_new_with_options("user-agent", userAgent.c_str(), nullptr));

    m_signalSubscription = g_dbus_connection_signal_subscribe(
        m_connection.get(), notificationsName, notificationsName, nullptr, notificationsPath, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal, GVariant* parameters,
           gpointer self) { static_cast<AppcastUpdater*>(self)->notificationSignal(signal, parameters); },
        this, nullptr);
}

AppcastUpdater::~AppcastUpdater()
{
    g_dbus_connection_signal_unsubscribe(m_connection.get(), m_signalSubscription);
    removeSource(m_backgroundTimer);
    if (m_check) {
        removeSource(m_check->deadline);
        g_cancellable_cancel(m_check->cancellable.get());
    }
}

void AppcastUpdater::startUpdater()
{
    if (m_isStarted)
        return;
    m_isStarted = true;
    m_startedAt = wallClock();
    scheduleBackgroundCheck();
}

bool AppcastUpdater::respondsTo(std::string_view selector) const
{
    return selector == checkForUpdatesAction;
}

void AppcastUpdater::perform(std::string_view selector, MenuItem&)
{
    if (selector == checkForUpdatesAction)
        checkForUpdates(CheckKind::UserInitiated);
}

void AppcastUpdater::checkForUpdates(CheckKind kind)
{
    if (m_check)
        return;
    m_check = std::make_unique<Check>(kind, ++m_checkNumber);
    if (!isAllowedFeedAddress(m_settings.feedAddress)) {
        finishCheck(std::nullopt, _("The update feed's address is not a secure (https) one."));
        return;
    }
    m_check->deadline = addTimeout(
        m_settings.timeout,
        [](gpointer self) {
            auto* updater = static_cast<AppcastUpdater*>(self);
            updater->m_check->deadline = 0;
            updater->finishCheck(std::nullopt, _("The update server did not answer in time."));
            return G_SOURCE_REMOVE;
        },
        this);
    sendRequest(m_settings.feedAddress);
}

void AppcastUpdater::sendRequest(const std::string& address)
{
    auto message = GRefPtr<SoupMessage>::adopt(soup_message_new(SOUP_METHOD_GET, address.c_str()));
    if (!message) {
        finishCheck(std::nullopt, _("The update feed's address is not valid."));
        return;
    }
    // Redirects are followed by hand, so that each target passes the same https rule.
    soup_message_add_flags(message.get(), SOUP_MESSAGE_NO_REDIRECT);
    m_check->message = message;
    soup_session_send_async(
        m_session.get(), message.get(), G_PRIORITY_DEFAULT, m_check->cancellable.get(),
        [](GObject* session, GAsyncResult* result, gpointer step) {
            GUniqueOutPtr<GError> error;
            auto stream = GRefPtr<GInputStream>::adopt(
                soup_session_send_finish(SOUP_SESSION(session), result, &error.outPtr()));
            if (auto updater = resumeCheck(step, stream ? nullptr : error.get()))
                updater->requestSent(stream.get());
        },
        newCheckStep());
}

void AppcastUpdater::requestSent(GInputStream* stream)
{
    SoupMessage* message = m_check->message.get();
    const guint status = soup_message_get_status(message);
    if (isRedirect(status)) {
        const char* location = soup_message_headers_get_one(soup_message_get_response_headers(message), "Location");
        GUniquePtr<GUri> target(
            location ? g_uri_parse_relative(soup_message_get_uri(message), location, G_URI_FLAGS_NONE, nullptr)
                     : nullptr);
        if (!target) {
            finishCheck(std::nullopt, statusFailure(status));
            return;
        }
        GUniquePtr<gchar> address(g_uri_to_string(target.get()));
        if (++m_check->redirects > maximumRedirects)
            finishCheck(std::nullopt, _("The update server redirected too many times."));
        else if (!isAllowedFeedAddress(address.get()))
            finishCheck(std::nullopt, _("The update server redirected to an address that is not secure."));
        else
            sendRequest(address.get());
        return;
    }
    if (!SOUP_STATUS_IS_SUCCESSFUL(status)) {
        finishCheck(std::nullopt, statusFailure(status));
        return;
    }
    SoupMessageHeaders* headers = soup_message_get_response_headers(message);
    if (soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CONTENT_LENGTH
        && soup_message_headers_get_content_length(headers) > static_cast<goffset>(maximumFeedSize)) {
        finishCheck(std::nullopt, tooLargeFailure());
        return;
    }
    m_check->stream = GRefPtr<GInputStream>::share(stream);
    readMore();
}

void AppcastUpdater::readMore()
{
    // Always a whole chunk: libsoup's chunked decoder fails an assertion on reads of a byte or two.
    g_input_stream_read_bytes_async(
        m_check->stream.get(), readChunkSize, G_PRIORITY_DEFAULT, m_check->cancellable.get(),
        [](GObject* stream, GAsyncResult* result, gpointer step) {
            GUniqueOutPtr<GError> error;
            GUniquePtr<GBytes> chunk(g_input_stream_read_bytes_finish(G_INPUT_STREAM(stream), result, &error.outPtr()));
            if (auto updater = resumeCheck(step, chunk ? nullptr : error.get()))
                updater->chunkRead(chunk.get());
        },
        newCheckStep());
}

void AppcastUpdater::chunkRead(GBytes* chunk)
{
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(chunk, &size));
    if (size > 0) {
        m_check->body.append(data, size);
        if (m_check->body.size() > maximumFeedSize)
            finishCheck(std::nullopt, tooLargeFailure());
        else
            readMore();
        return;
    }

    std::string parseError;
    const auto items = parseAppcast(m_check->body, parseError);
    if (!items) {
        g_printerr("zelnamenu: the update feed is not well-formed: %s\n", parseError.c_str());
        finishCheck(std::nullopt, _("The update feed is not valid XML."));
        return;
    }
    const AppcastItem* newest = newestItem(*items);
    if (!newest)
        finishCheck(std::nullopt, _("The update feed names no version."));
    else
        finishCheck(*newest, {});
}

void AppcastUpdater::finishCheck(const std::optional<AppcastItem>& newest, const std::string& failure)
{
    const std::unique_ptr<Check> check = std::move(m_check);
    removeSource(check->deadline);
    // Stops the transfer at once: a feed past the limit or a server past the deadline gets no
    // more of our time.
    g_cancellable_cancel(check->cancellable.get());
    if (m_lastCheck.store)
        m_lastCheck.store(std::chrono::duration_cast<std::chrono::seconds>(wallClock()).count());

    const bool isNewer = newest && compareVersions(newest->version, m_settings.runningVersion) > 0;
    if (isNewer) {
        // The feed is not trusted to name a local file or another program's scheme.
        if (!newest->link.empty() && !isOpenableLink(newest->link))
            g_printerr("zelnamenu: not offering the download link %s: only http and https links are opened\n",
                       newest->link.c_str());
        notify({formatted(_("ZelnaMenu %s is available"), newest->displayVersion.c_str()),
                formatted(_("You have version %s."), m_settings.runningVersion.c_str()),
                isOpenableLink(newest->link) ? newest->link : std::string()});
    } else if (check->kind == CheckKind::UserInitiated && newest) {
        notify({_("ZelnaMenu is up to date"),
                formatted(_("Version %s is the newest version available."), m_settings.runningVersion.c_str()),
                {}});
    } else if (check->kind == CheckKind::UserInitiated) {
        notify({_("Could not check for updates"), failure, {}});
    } else if (!newest) {
        g_printerr("zelnamenu: the background update check failed: %s\n", failure.c_str());
    }

    if (m_isStarted)
        scheduleBackgroundCheck();
}

void AppcastUpdater::scheduleBackgroundCheck()
{
    removeSource(m_backgroundTimer);
    const auto delay = backgroundCheckDelay(lastCheckTime(), wallClock(), m_startedAt, m_settings.firstCheckDelay,
                                            m_settings.checkInterval);
    m_backgroundTimer = addTimeout(
        std::min(delay, longestTimerSlice),
        [](gpointer self) {
            auto* updater = static_cast<AppcastUpdater*>(self);
            updater->m_backgroundTimer = 0;
            updater->backgroundTimerFired();
            return G_SOURCE_REMOVE;
        },
        this);
}

std::optional<std::int64_t> AppcastUpdater::lastCheckTime() const
{
    return m_lastCheck.load ? m_lastCheck.load() : std::nullopt;
}

void AppcastUpdater::backgroundTimerFired()
{
    const auto delay = backgroundCheckDelay(lastCheckTime(), wallClock(), m_startedAt, m_settings.firstCheckDelay,
                                            m_settings.checkInterval);
    if (delay.count() > 0)
        scheduleBackgroundCheck();
    else if (!m_check)
        checkForUpdates(CheckKind::Background);
    // A check already under way reschedules when it ends.
}

void AppcastUpdater::notify(Notice notice)
{
    // One notification at a time is on its way, so each replaces the one before by its id.
    if (m_sendingNotice) {
        m_queuedNotice = std::move(notice);
        return;
    }
    m_sendingNotice = std::move(notice);
    callNotifications("GetCapabilities", nullptr, G_VARIANT_TYPE("(as)"), &AppcastUpdater::capabilitiesReceived);
}

void AppcastUpdater::capabilitiesReceived(GVariant* reply, const GError* error)
{
    if (!reply) {
        noticeShown(nullptr, error);
        return;
    }
    gchar** capabilityList = nullptr;
    g_variant_get(reply, "(^as)", &capabilityList);
    const GUniquePtr<gchar*> capabilities(capabilityList);
    bool hasActions = false;
    bool hasMarkup = false;
    for (gchar** capability = capabilities.get(); *capability; ++capability) {
        hasActions = hasActions || std::string_view(*capability) == "actions";
        hasMarkup = hasMarkup || std::string_view(*capability) == "body-markup";
    }

    const Notice& notice = *m_sendingNotice;
    std::string body = notice.body;
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    if (!notice.link.empty() && hasActions) {
        g_variant_builder_add(&actions, "s", downloadActionKey);
        g_variant_builder_add(&actions, "s", _("Download"));
    } else if (!notice.link.empty()) {
        // Without actions the address itself is the only way to the download.
        body += " " + formatted(_("Download it from %s"), notice.link.c_str());
    }
    if (hasMarkup)
        body = escapedForMarkup(body);
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("org.zelna.ZelnaMenu"));
    g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(1));
    callNotifications("Notify",
                      g_variant_new("(susssasa{sv}i)", "ZelnaMenu", m_notificationId, "", notice.summary.c_str(),
                                    body.c_str(), &actions, &hints, -1),
                      G_VARIANT_TYPE("(u)"), &AppcastUpdater::noticeShown);
}

void AppcastUpdater::noticeShown(GVariant* reply, const GError* error)
{
    if (reply) {
        g_variant_get(reply, "(u)", &m_notificationId);
        m_notificationLink = m_sendingNotice->link;
        m_activationToken.clear();
    } else {
        g_printerr("zelnamenu: the update notification was not shown: %s\n", errorMessage(error).c_str());
    }
    m_sendingNotice.reset();
    if (auto queued = std::exchange(m_queuedNotice, std::nullopt))
        notify(std::move(*queued));
}

namespace {

struct NotificationsCall {
    std::weak_ptr<AppcastUpdater> updater;
    void (AppcastUpdater::*handler)(GVariant* reply, const GError* error);
};

} // namespace

void AppcastUpdater::callNotifications(const char* method, GVariant* parameters, const GVariantType* replyType,
                                       void (AppcastUpdater::*handler)(GVariant* reply, const GError* error))
{
    g_dbus_connection_call(
        m_connection.get(), notificationsName, notificationsPath, notificationsName, method, parameters, replyType,
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
        [](GObject* connection, GAsyncResult* result, gpointer data) {
            const std::unique_ptr<NotificationsCall> call(static_cast<NotificationsCall*>(data));
            GUniqueOutPtr<GError> error;
            GUniquePtr<GVariant> reply(
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(connection), result, &error.outPtr()));
            if (auto updater = call->updater.lock())
                (updater.get()->*call->handler)(reply.get(), error.get());
        },
        new NotificationsCall{weak_from_this(), handler});
}

void AppcastUpdater::notificationSignal(const gchar* signal, GVariant* parameters)
{
    const std::string_view name = signal;
    guint32 id = 0;
    const gchar* text = nullptr;
    if ((name == "ActionInvoked" || name == "ActivationToken")
        && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
        g_variant_get(parameters, "(u&s)", &id, &text);
        if (id == 0 || id != m_notificationId)
            return;
        if (name == "ActivationToken")
            m_activationToken = text;
        else if (std::string_view(text) == downloadActionKey && !m_notificationLink.empty())
            openLink(m_notificationLink);
    } else if (name == "NotificationClosed" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
        guint32 reason = 0;
        g_variant_get(parameters, "(uu)", &id, &reason);
        if (id != 0 && id == m_notificationId) {
            m_notificationId = 0;
            m_notificationLink.clear();
            m_activationToken.clear();
        }
    }
}

void AppcastUpdater::openLink(const std::string& link)
{
    auto context = GRefPtr<GAppLaunchContext>::adopt(g_app_launch_context_new());
    // Lets a Wayland compositor give the browser focus, as the click that asked for it deserves.
    if (!m_activationToken.empty()) {
        g_app_launch_context_setenv(context.get(), "XDG_ACTIVATION_TOKEN", m_activationToken.c_str());
        g_app_launch_context_setenv(context.get(), "DESKTOP_STARTUP_ID", m_activationToken.c_str());
    }
    g_app_info_launch_default_for_uri_async(
        link.c_str(), context.get(), nullptr,
        [](GObject*, GAsyncResult* result, gpointer) {
            GUniqueOutPtr<GError> error;
            if (!g_app_info_launch_default_for_uri_finish(result, &error.outPtr()))
                g_printerr("zelnamenu: the download link could not be opened: %s\n", errorMessage(error.get()).c_str());
        },
        nullptr);
}

AppcastUpdaterFactory::AppcastUpdaterFactory(GDBusConnection* connection, LastUpdateCheckStore lastCheck,
                                             AppcastSettings settings)
    : m_connection(GRefPtr<GDBusConnection>::share(connection))
    , m_lastCheck(std::move(lastCheck))
    , m_settings(std::move(settings))
{
}

std::shared_ptr<UpdaterController> AppcastUpdaterFactory::makeUpdaterController(bool startingUpdater)
{
    auto updater = AppcastUpdater::make(m_connection.get(), m_settings, m_lastCheck);
    if (startingUpdater)
        updater->startUpdater();
    return updater;
}
