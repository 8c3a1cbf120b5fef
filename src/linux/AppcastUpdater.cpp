#include "linux/AppcastUpdater.h"

#include "linux/DbusNotifications.h"
#include "linux/support/Log.h"

#include <glib/gi18n-lib.h>

#include <algorithm>

namespace {

constexpr const char* downloadActionKey = "download";
// A timer longer than this would be stretched by a suspend (GLib timers stop with the machine),
// so long waits are cut into slices and the wall clock is read again after each.
constexpr std::chrono::milliseconds longestTimerSlice = std::chrono::hours(1);

std::chrono::milliseconds wallClock()
{
    return std::chrono::milliseconds(g_get_real_time() / 1000);
}

std::string formatted(const char* format, const char* argument)
{
    GUniquePtr<gchar> text(g_strdup_printf(format, argument));
    return text.get();
}

} // namespace

AppcastUpdater::AppcastUpdater(DbusNotifications& notifications, AppcastSettings settings,
                               LastUpdateCheckStore lastCheck)
    : m_notifications(notifications)
    , m_settings(std::move(settings))
    , m_lastCheck(std::move(lastCheck))
    , m_fetcher("ZelnaMenu/" + m_settings.runningVersion, m_settings.timeout)
{
}

AppcastUpdater::~AppcastUpdater()
{
    if (m_backgroundTimer)
        g_source_remove(m_backgroundTimer);
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
    return selector == checkForUpdatesSelector;
}

void AppcastUpdater::perform(std::string_view selector, MenuItem&)
{
    if (selector == checkForUpdatesSelector)
        checkForUpdates(CheckKind::UserInitiated);
}

void AppcastUpdater::checkForUpdates(CheckKind kind)
{
    // The fetcher outlives none of its completions, so they may use this.
    m_fetcher.fetch(m_settings.feedAddress,
                    [this, kind](const Result<std::string>& feed) { feedFetched(kind, feed); });
}

void AppcastUpdater::feedFetched(CheckKind kind, const Result<std::string>& feed)
{
    if (m_lastCheck.store)
        m_lastCheck.store(std::chrono::duration_cast<std::chrono::seconds>(wallClock()).count());
    if (!feed) {
        tell(kind, feed.failure());
    } else if (const auto items = parseAppcast(*feed); !items) {
        logLine("the update feed is not well-formed: %s", items.failure().message.c_str());
        tell(kind, Failure { _("The update feed is not valid XML.") });
    } else if (const AppcastItem* newest = newestItem(*items)) {
        tell(kind, *newest);
    } else {
        tell(kind, Failure { _("The update feed names no version.") });
    }
    if (m_isStarted)
        scheduleBackgroundCheck();
}

void AppcastUpdater::tell(CheckKind kind, const Result<AppcastItem>& newest)
{
    const bool isNewer = newest && compareVersions(newest->version, m_settings.runningVersion) > 0;
    if (isNewer) {
        Notification notification { formatted(_("ZelnaMenu %s is available"), newest->displayVersion.c_str()),
                                    formatted(_("You have version %s."), m_settings.runningVersion.c_str()),
                                    std::nullopt };
        // The feed is not trusted to name a local file or another program's scheme.
        if (isOpenableLink(newest->link)) {
            notification.action = NotificationAction { downloadActionKey, _("Download"),
                formatted(_("Download it from %s"), newest->link.c_str()),
                [this, link = newest->link](const std::string& token) { openLink(link, token); } };
        } else if (!newest->link.empty()) {
            logLine("not offering the download link %s: only http and https links are opened",
                    newest->link.c_str());
        }
        notify(std::move(notification));
    } else if (kind == CheckKind::UserInitiated && newest) {
        notify({ _("ZelnaMenu is up to date"),
                 formatted(_("Version %s is the newest version available."), m_settings.runningVersion.c_str()),
                 std::nullopt });
    } else if (kind == CheckKind::UserInitiated) {
        notify({ _("Could not check for updates"), newest.failure().message, std::nullopt });
    } else if (!newest) {
        logLine("the background update check failed: %s", newest.failure().message.c_str());
    }
}

std::chrono::milliseconds AppcastUpdater::backgroundDelay() const
{
    const auto lastCheck = m_lastCheck.load ? m_lastCheck.load() : std::nullopt;
    return backgroundCheckDelay(lastCheck, wallClock(), m_startedAt, m_settings.firstCheckDelay,
                                m_settings.checkInterval);
}

void AppcastUpdater::scheduleBackgroundCheck()
{
    if (m_backgroundTimer)
        g_source_remove(m_backgroundTimer);
    const auto delay = std::clamp(backgroundDelay(), std::chrono::milliseconds(0), longestTimerSlice);
    m_backgroundTimer = g_timeout_add(
        static_cast<guint>(delay.count()),
        [](gpointer self) {
            auto* updater = static_cast<AppcastUpdater*>(self);
            updater->m_backgroundTimer = 0;
            if (updater->backgroundDelay().count() > 0)
                updater->scheduleBackgroundCheck();
            else
                updater->checkForUpdates(CheckKind::Background);
            // A check already under way reschedules when it ends.
            return G_SOURCE_REMOVE;
        },
        this);
}

void AppcastUpdater::notify(Notification notification)
{
    // One notification at a time is on its way, so that each replaces the one before by its id.
    if (m_isNotifying) {
        m_queuedNotification = std::make_unique<Notification>(std::move(notification));
        return;
    }
    m_isNotifying = true;
    notification.replacesId = m_notificationId;
    m_notifications.notify(std::move(notification), &m_calls, [this](std::optional<std::uint32_t> id) {
        m_notificationId = id.value_or(m_notificationId);
        m_isNotifying = false;
        if (auto queued = std::move(m_queuedNotification))
            notify(std::move(*queued));
    });
}

void AppcastUpdater::openLink(const std::string& link, const std::string& activationToken)
{
    auto context = GRefPtr<GAppLaunchContext>::adopt(g_app_launch_context_new());
    // Lets a Wayland compositor give the browser focus, as the click that asked for it deserves.
    if (!activationToken.empty()) {
        g_app_launch_context_setenv(context.get(), "XDG_ACTIVATION_TOKEN", activationToken.c_str());
        g_app_launch_context_setenv(context.get(), "DESKTOP_STARTUP_ID", activationToken.c_str());
    }
    // Not cancelled with the updater: the failure is said either way, and nothing else is touched.
    const auto done = unlessCancelled(nullptr, [](GObject*, GAsyncResult* result) {
        GUniqueOutPtr<GError> error;
        if (!g_app_info_launch_default_for_uri_finish(result, &error.outPtr()))
            logLine("the download link could not be opened: %s", Failure::from(error.get()).message.c_str());
    });
    g_app_info_launch_default_for_uri_async(link.c_str(), context.get(), nullptr, done.callback, done.data);
}

AppcastUpdaterFactory::AppcastUpdaterFactory(DbusNotifications& notifications, LastUpdateCheckStore lastCheck,
                                             AppcastSettings settings)
    : m_notifications(notifications)
    , m_lastCheck(std::move(lastCheck))
    , m_settings(std::move(settings))
{
}

std::shared_ptr<UpdaterController> AppcastUpdaterFactory::makeUpdaterController(bool startingUpdater)
{
    auto updater = std::make_shared<AppcastUpdater>(m_notifications, m_settings, m_lastCheck);
    if (startingUpdater)
        updater->startUpdater();
    return updater;
}
