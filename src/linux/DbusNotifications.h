#pragma once

#include "linux/GOwned.h"
#include "ports/Notifications.h"

/// Notification "authorisation" over org.freedesktop.Notifications. Linux has no permission to
/// ask for, so a request asks whether a notification server answers on the bus: granted when one
/// does, the error otherwise. Requests still in flight are cancelled with the object, and their
/// completions never run.
class DbusNotifications final : public UserNotificationCenter {
public:
    explicit DbusNotifications(GDBusConnection* connection);
    ~DbusNotifications() override;
    DbusNotifications(const DbusNotifications&) = delete;
    DbusNotifications& operator=(const DbusNotifications&) = delete;

    void requestAuthorization(std::uint32_t options, AuthorizationCompletion completion) override;

private:
    GRefPtr<GDBusConnection> m_connection;
    GRefPtr<GCancellable> m_cancellable;
};
