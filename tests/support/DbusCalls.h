#pragma once

// Talking to objects that the test itself exports on the default main context: every call is
// asynchronous and the main loop runs until the answer, so that the exporter can reply.

#include "linux/GOwned.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace zelna::test {

struct DbusReply {
    GUniquePtr<GVariant> value; ///< The reply's tuple; null on error.
    std::string error; ///< The D-Bus error name and message; empty on success.
    explicit operator bool() const { return static_cast<bool>(value); }
};

/// Calls a method and waits (bounded) for its reply. parameters may be floating or null.
DbusReply callMethod(GDBusConnection* connection, const std::string& destination, const std::string& path,
    const std::string& interface, const std::string& method, GVariant* parameters = nullptr);

/// org.freedesktop.DBus.Properties.GetAll; the a{sv}, or null on error.
GUniquePtr<GVariant> allProperties(
    GDBusConnection* connection, const std::string& destination, const std::string& path, const std::string& interface);

/// The unique name of a connection.
std::string uniqueName(GDBusConnection* connection);

/// Records every signal a sender emits on an object path, in order of arrival.
class SignalRecorder {
public:
    SignalRecorder(GDBusConnection* connection, const std::string& sender, const std::string& path);
    ~SignalRecorder();
    SignalRecorder(const SignalRecorder&) = delete;
    SignalRecorder& operator=(const SignalRecorder&) = delete;

    std::size_t count(const std::string& name) const;
    /// The parameters of the last signal with that name, or null.
    GVariant* last(const std::string& name) const;

    std::vector<std::pair<std::string, GUniquePtr<GVariant>>> signals;

private:
    GRefPtr<GDBusConnection> m_connection;
    unsigned m_subscription = 0;
};

} // namespace zelna::test
