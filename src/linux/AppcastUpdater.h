#pragma once

#include "linux/support/AppcastFeed.h"
#include "linux/support/FeedFetcher.h"
#include "ports/Updater.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class DbusNotifications;
struct Notification;

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

/// The update controller: checks the appcast on a schedule and when the user asks, and tells the
/// outcome in a desktop notification. A check the user asked for always answers; a background
/// check speaks only of a newer version. One notification replaces the previous one.
class AppcastUpdater final : public UpdaterController {
public:
    AppcastUpdater(DbusNotifications& notifications, AppcastSettings settings, LastUpdateCheckStore lastCheck);
    ~AppcastUpdater() override;
    AppcastUpdater(const AppcastUpdater&) = delete;
    AppcastUpdater& operator=(const AppcastUpdater&) = delete;

    /// Begins the background schedule: the first check a while after start, then one a day,
    /// counted from the last check recorded in the store, across restarts.
    void startUpdater();

    bool respondsTo(std::string_view selector) const override;
    void perform(std::string_view selector, MenuItem& sender) override;

    /// Whether a check is under way; a second one is not started meanwhile.
    bool isChecking() const { return m_fetcher.isFetching(); }

private:
    enum class CheckKind { UserInitiated, Background };

    void checkForUpdates(CheckKind kind);
    void feedFetched(CheckKind kind, const Result<std::string>& feed);
    void tell(CheckKind kind, const Result<AppcastItem>& newest);
    void scheduleBackgroundCheck();
    std::chrono::milliseconds backgroundDelay() const;

    void notify(Notification notification);
    void openLink(const std::string& link, const std::string& activationToken);

    DbusNotifications& m_notifications;
    AppcastSettings m_settings;
    LastUpdateCheckStore m_lastCheck;
    FeedFetcher m_fetcher;
    PendingCalls m_calls;
    bool m_isStarted = false;
    std::chrono::milliseconds m_startedAt{0};
    guint m_backgroundTimer = 0;

    bool m_isNotifying = false;
    std::unique_ptr<Notification> m_queuedNotification;
    std::uint32_t m_notificationId = 0;
};

class AppcastUpdaterFactory final : public UpdaterFactory {
public:
    AppcastUpdaterFactory(DbusNotifications& notifications, LastUpdateCheckStore lastCheck,
                          AppcastSettings settings = {});
    std::shared_ptr<UpdaterController> makeUpdaterController(bool startingUpdater) override;

private:
    DbusNotifications& m_notifications;
    LastUpdateCheckStore m_lastCheck;
    AppcastSettings m_settings;
};
