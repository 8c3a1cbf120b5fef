#pragma once

// Services an integration test starts for itself and stops by process id: a private D-Bus
// session bus, a virtual X display, any helper program. Plus a way to spin the GLib main loop
// until something happens, with a bound.

#include "linux/GOwned.h"
#include "ports/HotKeys.h"

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace zelna::test {

/// A child process, killed (SIGTERM, then SIGKILL) and reaped when the object goes.
class ChildProcess {
public:
    /// Starts argv with the current environment plus `environment`. stdout is captured when
    /// captureStdout is true (read it with readLine); stderr goes to the test's stderr.
    ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> environment = {},
                 bool captureStdout = false);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    /// One line of the child's stdout without its newline; nothing at end of file or timeout.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// Sends SIGTERM and waits up to timeout for the exit; the exit status, or nothing.
    std::optional<int> terminate(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Waits up to timeout; the exit status (128 + signal for a signal), or nothing when still running.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool isRunning();

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    std::string m_buffer;
    std::optional<int> m_status;
};

/// Sets an environment variable for the life of the object, then restores it.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::optional<std::string>& value);
    ~ScopedEnvironment();

private:
    std::string m_name;
    std::optional<std::string> m_previous;
};

/// dbus-daemon --session on a private socket. Its address is exported as
/// DBUS_SESSION_BUS_ADDRESS for the life of the object (restored afterwards).
class PrivateSessionBus {
public:
    PrivateSessionBus();
    /// A new private connection to this bus.
    GRefPtr<GDBusConnection> connect() const;

private:
    std::optional<ChildProcess> m_daemon;
    std::string m_address;
    std::optional<ScopedEnvironment> m_exported;
};

/// Xvfb on a free display; DISPLAY is exported for the life of the object.
class VirtualDisplay {
public:
    VirtualDisplay();

private:
    std::optional<ChildProcess> m_server;
    std::optional<ScopedEnvironment> m_exported;
};

/// Waits up to timeout until name has an owner on the connection's bus.
bool waitForNameOwner(GDBusConnection* connection, const std::string& name,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));

/// Runs the default main context until condition holds or timeout passes; returns condition().
bool runMainLoopUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
/// Runs the default main context for a while, for "nothing happens" checks.
void runMainLoopFor(std::chrono::milliseconds duration);

/// What a forked child did: its exit status (128 + signal when a signal ended it) and its stderr.
struct ForkedResult {
    int status = -1;
    std::string standardError;
};

/// Runs body in a forked copy of this process (no exec) and waits up to timeout; body's result is
/// the exit status. For what a test cannot do to itself: resource limits, dropped privileges, a
/// crash in the middle of a write.
ForkedResult runInForkedChild(const std::function<int()>& body,
                              std::chrono::milliseconds timeout = std::chrono::seconds(10));

/// For a forked child: gives up root's power to write anywhere by becoming nobody, so that a
/// read-only folder is read-only to it. False when that failed; nothing to do when not root.
bool dropRootPrivileges();

/// Installs a handler that appends the id of each pressed hot key to pressed, then registers
/// Alt+1…Alt+5 as slots 0–4 as the application does; their statuses, and their refs into refs.
std::array<OSStatus, 5> registerFiveHotKeys(HotKeys& keys, std::vector<std::uint32_t>& pressed,
                                            std::array<EventHotKeyRef, 5>* refs = nullptr);

/// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);
/// Writes contents as the whole file, creating its folders.
void writeFile(const std::filesystem::path& path, const std::string& contents);

/// A fresh directory under the system's temporary folder, removed with its content at the end.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

} // namespace zelna::test
