#pragma once

#include "linux/GOwned.h"
#include "ports/Notifications.h"

#include <functional>
#include <string>

/// Desktop notifications over org.freedesktop.Notifications. Linux has no permission to ask for,
/// so an authorisation request asks whether a notification server answers on the bus: granted
/// when one does, the error otherwise. Calls still in flight are cancelled with the object, and
/// their completions never run.
class DbusNotifications final : public UserNotificationCenter {
public:
    explicit DbusNotifications(GDBusConnection* connection);
    ~DbusNotifications() override;
    DbusNotifications(const DbusNotifications&) = delete;
    DbusNotifications& operator=(const DbusNotifications&) = delete;

    void requestAuthorization(std::uint32_t options, AuthorizationCompletion completion) override;

    /// Shows a notification from ZelnaMenu. Both texts are plain: the body holds no markup
    /// characters, since a server may read it as markup. shown runs later on the main loop with
    /// whether a server took the notification; a refusal is also said once on stderr.
    void notify(const std::string& summary, const std::string& body, std::function<void(bool shown)> shown);

private:
    using ReplyHandler = std::function<void(GVariant* reply, GError* error)>;
    void call(const char* method, GVariant* parameters, const GVariantType* replyType, ReplyHandler handler);

    GRefPtr<GDBusConnection> m_connection;
    GRefPtr<GCancellable> m_cancellable;
};
