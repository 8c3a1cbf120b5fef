#include "support/DbusCalls.h"

#include "support/TestServices.h"

namespace zelna::test {

DbusReply callMethod(GDBusConnection* connection, const std::string& destination, const std::string& path,
    const std::string& interface, const std::string& method, GVariant* parameters)
{
    struct Pending {
        bool isDone = false;
        GVariant* reply = nullptr;
        GError* error = nullptr;
    } pending;
    g_dbus_connection_call(
        connection, destination.c_str(), path.c_str(), interface.c_str(), method.c_str(), parameters, nullptr,
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        [](GObject* source, GAsyncResult* result, void* userData) {
            auto* pending = static_cast<Pending*>(userData);
            pending->reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &pending->error);
            pending->isDone = true;
        },
        &pending);
    // The call's own timeout ends it; the bound here only guards against a lost callback.
    runMainLoopUntil([&] { return pending.isDone; }, std::chrono::seconds(10));

    DbusReply reply;
    reply.value.reset(pending.reply);
    GUniquePtr<GError> error(pending.error);
    if (error) {
        GUniquePtr<gchar> remoteName(g_dbus_error_get_remote_error(error.get()));
        reply.error = std::string(remoteName ? remoteName.get() : "") + ": " + error->message;
    } else if (!pending.isDone) {
        reply.error = "no reply";
    }
    return reply;
}

GUniquePtr<GVariant> allProperties(
    GDBusConnection* connection, const std::string& destination, const std::string& path, const std::string& interface)
{
    auto reply = callMethod(connection, destination, path, "org.freedesktop.DBus.Properties", "GetAll",
        g_variant_new("(s)", interface.c_str()));
    if (!reply)
        return nullptr;
    return GUniquePtr<GVariant>(g_variant_get_child_value(reply.value.get(), 0));
}

std::string uniqueName(GDBusConnection* connection)
{
    const char* name = g_dbus_connection_get_unique_name(connection);
    return name ? name : "";
}

SignalRecorder::SignalRecorder(GDBusConnection* connection, const std::string& sender, const std::string& path)
    : m_connection(GRefPtr<GDBusConnection>::share(connection))
{
    m_subscription = g_dbus_connection_signal_subscribe(
        connection, sender.c_str(), nullptr, nullptr, path.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, const char*, const char* name, GVariant* parameters,
            void* userData) {
            static_cast<SignalRecorder*>(userData)->signals.emplace_back(name, g_variant_ref(parameters));
        },
        this, nullptr);
    // The bus handles a connection's messages in order: once this round trip is answered, the
    // match rule is in place and no signal emitted from now on is missed.
    callMethod(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId");
}

SignalRecorder::~SignalRecorder()
{
    g_dbus_connection_signal_unsubscribe(m_connection.get(), m_subscription);
}

std::size_t SignalRecorder::count(const std::string& name) const
{
    std::size_t count = 0;
    for (const auto& [signalName, ignored] : signals)
        count += signalName == name ? 1u : 0u;
    return count;
}

GVariant* SignalRecorder::last(const std::string& name) const
{
    for (auto it = signals.rbegin(); it != signals.rend(); ++it) {
        if (it->first == name)
            return it->second.get();
    }
    return nullptr;
}

} // namespace zelna::test
