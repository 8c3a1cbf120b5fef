#include "linux/DbusNotifications.h"

#include <iostream>
#include <memory>
#include <utility>

namespace {

constexpr const char* notificationsName = "org.freedesktop.Notifications";
constexpr const char* notificationsPath = "/org/freedesktop/Notifications";

} // namespace

DbusNotifications::DbusNotifications(GDBusConnection* connection)
    : m_connection(GRefPtr<GDBusConnection>::share(connection))
    , m_cancellable(GRefPtr<GCancellable>::adopt(g_cancellable_new()))
{
}

DbusNotifications::~DbusNotifications()
{
    g_cancellable_cancel(m_cancellable.get());
}

void DbusNotifications::call(const char* method, GVariant* parameters, const GVariantType* replyType,
                             ReplyHandler handler)
{
    struct PendingCall {
        ReplyHandler handler;
        GRefPtr<GCancellable> cancellable;
    };
    g_dbus_connection_call(
        m_connection.get(), notificationsName, notificationsPath, notificationsName, method, parameters, replyType,
        G_DBUS_CALL_FLAGS_NONE, -1, m_cancellable.get(),
        [](GObject* source, GAsyncResult* result, gpointer userData) {
            const std::unique_ptr<PendingCall> call(static_cast<PendingCall*>(userData));
            GUniqueOutPtr<GError> error;
            GUniquePtr<GVariant> reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error.outPtr()));
            // Cancelled means the adapter is gone, and the handler may refer to what went with it.
            if (g_cancellable_is_cancelled(call->cancellable.get()))
                return;
            if (!reply)
                g_dbus_error_strip_remote_error(error.get());
            call->handler(reply.get(), error.get());
        },
        new PendingCall{std::move(handler), m_cancellable});
}

void DbusNotifications::requestAuthorization(std::uint32_t /*options*/, AuthorizationCompletion completion)
{
    // The options (alert, badge, sound) have no counterpart: a server shows what it supports.
    call("GetServerInformation", nullptr, G_VARIANT_TYPE("(ssss)"),
         [completion = std::move(completion)](GVariant* reply, GError* error) {
             if (!completion)
                 return;
             if (reply)
                 completion(true, std::nullopt);
             else
                 completion(false, errorMessage(error));
         });
}

void DbusNotifications::notify(const std::string& summary, const std::string& body,
                               std::function<void(bool shown)> shown)
{
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE_VARDICT);
    // Servers attribute the notification to the installed program through its desktop entry.
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("org.zelna.ZelnaMenu"));
    g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(1));
    call("Notify",
         g_variant_new("(susss@asa{sv}i)", "ZelnaMenu", 0u, "org.zelna.ZelnaMenu", summary.c_str(), body.c_str(),
                       g_variant_new_array(G_VARIANT_TYPE_STRING, nullptr, 0), &hints, -1),
         G_VARIANT_TYPE("(u)"), [shown = std::move(shown)](GVariant* reply, GError* error) {
             if (!reply)
                 std::cerr << "zelnamenu: a notification was not shown: " << errorMessage(error) << '\n';
             if (shown)
                 shown(reply != nullptr);
         });
}
