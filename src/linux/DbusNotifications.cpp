#include "linux/DbusNotifications.h"

#include "linux/support/Log.h"

#include <utility>

namespace {

constexpr DbusObject notificationServer = { "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                            "org.freedesktop.Notifications" };

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

bool isLive(const GRefPtr<GCancellable>& owner)
{
    return !owner || !g_cancellable_is_cancelled(owner.get());
}

} // namespace

DbusNotifications::DbusNotifications(GDBusConnection* connection)
    : m_connection(GRefPtr<GDBusConnection>::share(connection))
{
    m_signalSubscription = g_dbus_connection_signal_subscribe(
        m_connection.get(), notificationServer.name, notificationServer.interface, nullptr, notificationServer.path,
        nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal, GVariant* parameters,
           gpointer self) { static_cast<DbusNotifications*>(self)->signalReceived(signal, parameters); },
        this, nullptr);
}

DbusNotifications::~DbusNotifications()
{
    g_dbus_connection_signal_unsubscribe(m_connection.get(), m_signalSubscription);
}

void DbusNotifications::requestAuthorization(std::uint32_t /*options*/, AuthorizationCompletion completion)
{
    // The options (alert, badge, sound) have no counterpart: a server shows what it supports.
    callDbus(m_connection.get(), notificationServer, "GetServerInformation", nullptr, G_VARIANT_TYPE("(ssss)"),
             m_calls.cancellable(), [completion = std::move(completion)](const Result<GVariant*>& reply) {
                 if (!completion)
                     return;
                 if (reply)
                     completion(true, std::nullopt);
                 else
                     completion(false, reply.failure().message);
             });
}

void DbusNotifications::notify(Notification notification, const PendingCalls* owner, ShownHandler shown)
{
    auto ownerCalls = GRefPtr<GCancellable>::share(owner ? owner->cancellable() : nullptr);
    // Asked each time: the server may have been replaced by one that can do more, or less.
    callDbus(m_connection.get(), notificationServer, "GetCapabilities", nullptr, G_VARIANT_TYPE("(as)"),
             m_calls.cancellable(),
             [this, notification = std::move(notification), ownerCalls, shown = std::move(shown)](
                 const Result<GVariant*>& reply) mutable {
                 bool hasActions = false;
                 bool readsMarkup = false;
                 if (reply) {
                     GVariantIter* iterator = nullptr;
                     g_variant_get(*reply, "(as)", &iterator);
                     const GUniquePtr<GVariantIter> capabilities(iterator);
                     const gchar* capability = nullptr;
                     while (g_variant_iter_next(capabilities.get(), "&s", &capability)) {
                         hasActions = hasActions || std::string_view(capability) == "actions";
                         readsMarkup = readsMarkup || std::string_view(capability) == "body-markup";
                     }
                 }
                 // Without an answer, Notify is tried all the same, and its failure is the one told.
                 send(std::move(notification), hasActions, readsMarkup, std::move(ownerCalls), std::move(shown));
             });
}

void DbusNotifications::send(Notification notification, bool hasActions, bool readsMarkup,
                             GRefPtr<GCancellable> owner, ShownHandler shown)
{
    std::string body = notification.body;
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE_STRING_ARRAY);
    if (notification.action && hasActions) {
        g_variant_builder_add(&actions, "s", notification.action->key.c_str());
        g_variant_builder_add(&actions, "s", notification.action->label.c_str());
    } else if (notification.action) {
        body += " " + notification.action->fallbackText;
    }
    if (readsMarkup)
        body = escapedForMarkup(body);
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE_VARDICT);
    // Servers attribute the notification to the installed program through its desktop entry.
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("org.zelna.ZelnaMenu"));
    g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(1));
    Shown whenChosen;
    if (notification.action && hasActions)
        whenChosen = { owner, std::move(notification.action->chosen), notification.action->key, {} };
    callDbus(m_connection.get(), notificationServer, "Notify",
             g_variant_new("(susssasa{sv}i)", "ZelnaMenu", notification.replacesId, "org.zelna.ZelnaMenu",
                           notification.summary.c_str(), body.c_str(), &actions, &hints, -1),
             G_VARIANT_TYPE("(u)"), m_calls.cancellable(),
             [this, owner = std::move(owner), shown = std::move(shown),
              whenChosen = std::move(whenChosen)](const Result<GVariant*>& reply) mutable {
                 std::optional<std::uint32_t> id;
                 if (reply) {
                     id.emplace();
                     g_variant_get(*reply, "(u)", &*id);
                     if (whenChosen.chosen)
                         m_withActions[*id] = std::move(whenChosen);
                 } else {
                     logLine("a notification was not shown: %s", reply.failure().message.c_str());
                 }
                 if (shown && isLive(owner))
                     shown(id);
             });
}

void DbusNotifications::signalReceived(const char* signal, GVariant* parameters)
{
    const std::string_view name = signal;
    guint32 id = 0;
    if ((name == "ActionInvoked" || name == "ActivationToken")
        && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
        const gchar* text = nullptr;
        g_variant_get(parameters, "(u&s)", &id, &text);
        auto found = m_withActions.find(id);
        if (found == m_withActions.end())
            return;
        // The token comes just before the action it belongs to.
        if (name == "ActivationToken")
            found->second.activationToken = text;
        else if (found->second.actionKey == text && isLive(found->second.owner))
            found->second.chosen(std::exchange(found->second.activationToken, {}));
    } else if (name == "NotificationClosed" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
        g_variant_get(parameters, "(uu)", &id, nullptr);
        m_withActions.erase(id);
    }
}
