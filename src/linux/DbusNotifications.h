#pragma once

#include "linux/support/AsyncCalls.h"
#include "ports/Notifications.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

/// A button offered with a notification.
struct NotificationAction {
    std::string key;
    std::string label;
    /// Added to the body instead where the server shows no buttons.
    std::string fallbackText;
    /// Runs when the user chooses the button, with the activation token the server sent for the
    /// click (empty when it sent none), which lets a Wayland compositor focus what opens next.
    std::function<void(const std::string& activationToken)> chosen;
};

/// What a notification says. Both texts are plain; the body is escaped for servers that read it
/// as markup.
struct Notification {
    std::string summary;
    std::string body;
    std::optional<NotificationAction> action;
    std::uint32_t replacesId = 0; ///< The notification this one takes the place of; 0 for none.
};

/// Desktop notifications over org.freedesktop.Notifications, the program's one client of them.
/// Linux has no permission to ask for, so an authorisation request asks whether a notification
/// server answers on the bus: granted when one does, the error otherwise. Calls still in flight
/// are cancelled with the object, and their completions never run.
class DbusNotifications final : public UserNotificationCenter {
public:
    explicit DbusNotifications(GDBusConnection* connection);
    ~DbusNotifications() override;
    DbusNotifications(const DbusNotifications&) = delete;
    DbusNotifications& operator=(const DbusNotifications&) = delete;

    void requestAuthorization(std::uint32_t options, AuthorizationCompletion completion) override;

    using ShownHandler = std::function<void(std::optional<std::uint32_t> id)>;
    /// Shows a notification from ZelnaMenu. shown runs later on the main loop with the id the
    /// server gave it, or nothing when no server took it (which is also said once on stderr).
    /// shown and the action's handler run only while owner's calls are not cancelled, so that they
    /// may use the owner; a null owner for handlers that use nothing that may go.
    void notify(Notification notification, const PendingCalls* owner, ShownHandler shown);

private:
    struct Shown {
        GRefPtr<GCancellable> owner;
        std::function<void(const std::string&)> chosen;
        std::string actionKey;
        std::string activationToken;
    };
    void send(Notification notification, bool hasActions, bool readsMarkup, GRefPtr<GCancellable> owner,
              ShownHandler shown);
    void signalReceived(const char* signal, GVariant* parameters);

    GRefPtr<GDBusConnection> m_connection;
    PendingCalls m_calls;
    guint m_signalSubscription = 0;
    std::map<std::uint32_t, Shown> m_withActions; ///< By id, until the server closes them.
};
