#include "linux/DbusNotifications.h"

#include <memory>
#include <utility>

namespace {

struct PendingRequest {
    AuthorizationCompletion completion;
    GRefPtr<GCancellable> cancellable;
};

void serverInformationReceived(GObject* source, GAsyncResult* result, gpointer userData)
{
    std::unique_ptr<PendingRequest> request(static_cast<PendingRequest*>(userData));
    GUniqueOutPtr<GError> error;
    GUniquePtr<GVariant> reply(
        g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error.outPtr()));
    // Cancelled means the adapter is gone, and the completion may refer to what went with it.
    if (g_cancellable_is_cancelled(request->cancellable.get()) || !request->completion)
        return;
    if (!reply) {
        g_dbus_error_strip_remote_error(error.get());
        request->completion(false, errorMessage(error.get()));
        return;
    }
    request->completion(true, std::nullopt);
}

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

void DbusNotifications::requestAuthorization(std::uint32_t /*options*/, AuthorizationCompletion completion)
{
    // The options (alert, badge, sound) have no counterpart: a server shows what it supports.
    auto* request = new PendingRequest{std::move(completion), m_cancellable};
    g_dbus_connection_call(m_connection.get(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                           "org.freedesktop.Notifications", "GetServerInformation", nullptr,
                           G_VARIANT_TYPE("(ssss)"), G_DBUS_CALL_FLAGS_NONE, -1, m_cancellable.get(),
                           serverInformationReceived, request);
}
