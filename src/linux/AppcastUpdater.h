#pragma once

#include "linux/AppcastFeed.h"
#include "linux/GOwned.h"
#include "ports/Updater.h"

#include <libsoup/soup.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

/// Where the time of the last finished check is kept (seconds since the epoch); the composition
/// root wires it to the preferences file's "lastUpdateCheck".
struct LastUpdateCheckStore {
    std::function<std::optional<std::int64_t>()> load;
    std::function<void(std::int64_t)> store;
};

/// The build's feed, version and timings; tests pass a loopback feed and short intervals.
struct AppcastSettings {
    std::string feedAddress = ZELNA_APPCAST_URL;
    std::string runningVersion = ZELNA_VERSION;
    std::chrono::milliseconds firstCheckDelay = std::chrono::minutes(1);
    std::chrono::milliseconds checkInterval = std::chrono::hours(24);
    std::chrono::milliseconds timeout = std::chrono::seconds(30);
};

/// The update controller: reads the appcast over HTTPS with libsoup on the main loop and tells
/// the outcome through org.freedesktop.Notifications. A check the user asked for always answers;
/// a background check speaks only of a newer version. One notification replaces the previous one.
class AppcastUpdater final : public UpdaterController, public std::enable_shared_from_this<AppcastUpdater> {
public:
    /// The feed may not grow past this; the transfer stops as soon as it does.
    static constexpr std::size_t maximumFeedSize = 1024 * 1024;

    static std::shared_ptr<AppcastUpdater> make(GDBusConnection* connection, AppcastSettings settings,
                                                LastUpdateCheckStore lastCheck);
    ~AppcastUpdater() override;

    /// Begins the background schedule: the first check a while after start, then one a day,
    /// counted from the last check recorded in the store, across restarts.
    void startUpdater();

    bool respondsTo(std::string_view selector) const override;
    void perform(std::string_view selector, MenuItem& sender) override;

    /// Whether a check is under way; a second one is not started meanwhile.
    bool isChecking() const { return m_check != nullptr; }

private:
    enum class CheckKind { UserInitiated, Background };
    struct Check;
    struct CheckStep;
    struct Notice {
        std::string summary;
        std::string body;
        std::string link; ///< Offered through the "Download" action when not empty.
    };

    AppcastUpdater(GDBusConnection* connection, AppcastSettings settings, LastUpdateCheckStore lastCheck);

    // The user data of asynchronous calls, taken back exactly once in their callbacks. A check
    // step gives the updater only while its check goes on, and ends the check on a transfer error.
    gpointer newCheckStep();
    static std::shared_ptr<AppcastUpdater> resumeCheck(gpointer step, const GError* error);

    void checkForUpdates(CheckKind kind);
    void sendRequest(const std::string& address);
    void requestSent(GInputStream* stream);
    void readMore();
    void chunkRead(GBytes* chunk);
    void finishCheck(const std::optional<AppcastItem>& newest, const std::string& failure);
    std::optional<std::int64_t> lastCheckTime() const;
    void scheduleBackgroundCheck();
    void backgroundTimerFired();

    void notify(Notice notice);
    void capabilitiesReceived(GVariant* reply, const GError* error);
    void noticeShown(GVariant* reply, const GError* error);
    /// Calls the notification server; the handler runs with the reply or the error unless the
    /// updater has gone by then.
    void callNotifications(const char* method, GVariant* parameters, const GVariantType* replyType,
                           void (AppcastUpdater::*handler)(GVariant* reply, const GError* error));
    void notificationSignal(const gchar* signal, GVariant* parameters);
    void openLink(const std::string& link);

    GRefPtr<GDBusConnection> m_connection;
    AppcastSettings m_settings;
    LastUpdateCheckStore m_lastCheck;
    GRefPtr<SoupSession> m_session;
    std::unique_ptr<Check> m_check;
    std::uint64_t m_checkNumber = 0;
    bool m_isStarted = false;
    std::chrono::milliseconds m_startedAt{0};
    guint m_backgroundTimer = 0;

    guint m_signalSubscription = 0;
    std::optional<Notice> m_sendingNotice;
    std::optional<Notice> m_queuedNotice;
    std::uint32_t m_notificationId = 0;
    std::string m_notificationLink;
    std::string m_activationToken;
};

class AppcastUpdaterFactory final : public UpdaterFactory {
public:
    AppcastUpdaterFactory(GDBusConnection* connection, LastUpdateCheckStore lastCheck,
                          AppcastSettings settings = {});
    std::shared_ptr<UpdaterController> makeUpdaterController(bool startingUpdater) override;

private:
    GRefPtr<GDBusConnection> m_connection;
    LastUpdateCheckStore m_lastCheck;
    AppcastSettings m_settings;
};
