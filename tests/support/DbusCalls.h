#pragma once

// Talking to objects that the test itself exports on the default main context: every call is
// asynchronous and the main loop runs until the answer, so that the exporter can reply.

#include "linux/GOwned.h"

#include <string>
#include <utility>
#include <vector>

namespace zelna::test {

/// Printed with types, so that a comparison checks the D-Bus types too.
std::string printed(GVariant* value);

struct DbusReply {
    GUniquePtr<GVariant> value; ///< The reply's tuple; null on error.
    std::string error; ///< The D-Bus error name and message; empty on success.
    explicit operator bool() const { return static_cast<bool>(value); }
    /// The reply printed with types, or the error.
    std::string text() const { return value ? printed(value.get()) : error; }
};

/// Calls a method with arguments in GVariant text format and waits (bounded) for its reply.
DbusReply callMethod(GDBusConnection* connection, const std::string& destination, const std::string& path,
    const std::string& interface, const std::string& method, const std::string& arguments = "()");

/// Records every signal a sender emits on an object path, in order of arrival.
class SignalRecorder {
public:
    SignalRecorder(GDBusConnection* connection, const std::string& sender, const std::string& path);
    ~SignalRecorder();
    SignalRecorder(const SignalRecorder&) = delete;
    SignalRecorder& operator=(const SignalRecorder&) = delete;

    /// The printed parameters of each signal with that name.
    std::vector<std::string> of(const std::string& name) const;

private:
    GRefPtr<GDBusConnection> m_connection;
    unsigned m_subscription = 0;
    std::vector<std::pair<std::string, std::string>> m_signals;
};

} // namespace zelna::test
