#include "support/DbusCalls.h"

#include "support/TestServices.h"

namespace zelna::test {

std::string printed(GVariant* value)
{
    GUniquePtr<gchar> text(value ? g_variant_print(value, TRUE) : nullptr);
    return text ? text.get() : "<absent>";
}

DbusReply callMethod(GDBusConnection* connection, const std::string& destination, const std::string& path,
    const std::string& interface, const std::string& method, const std::string& arguments)
{
    struct Pending {
        bool isDone = false;
        DbusReply reply;
    } pending;
    // The call's own timeout ends it before the main loop's bound, so the callback never outlives pending.
    g_dbus_connection_call(
        connection, destination.c_str(), path.c_str(), interface.c_str(), method.c_str(),
        g_variant_new_parsed(arguments.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        [](GObject* source, GAsyncResult* result, void* userData) {
            auto* pending = static_cast<Pending*>(userData);
            GUniqueOutPtr<GError> error;
            pending->reply.value.reset(
                g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error.outPtr()));
            pending->reply.error = error ? error->message : "";
            pending->isDone = true;
        },
        &pending);
    runMainLoopUntil([&] { return pending.isDone; }, std::chrono::seconds(10));
    return std::move(pending.reply);
}

SignalRecorder::SignalRecorder(GDBusConnection* connection, const std::string& sender, const std::string& path)
    : m_connection(GRefPtr<GDBusConnection>::share(connection))
{
    m_subscription = g_dbus_connection_signal_subscribe(
        connection, sender.c_str(), nullptr, nullptr, path.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, const char*, const char* name, GVariant* parameters,
            void* userData) {
            static_cast<SignalRecorder*>(userData)->m_signals.emplace_back(name, printed(parameters));
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

std::vector<std::string> SignalRecorder::of(const std::string& name) const
{
    std::vector<std::string> parameters;
    for (const auto& [signalName, text] : m_signals) {
        if (signalName == name)
            parameters.push_back(text);
    }
    return parameters;
}

} // namespace zelna::test
