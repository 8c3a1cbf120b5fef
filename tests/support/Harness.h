#pragma once

// What an integration test starts and talks to. Every program runs under tests/support/guardian.py
// in a process group of its own: it and whatever it starts are killed when the object goes, and
// also when the test process dies, however it dies. Programs are started from the main thread,
// since the kernel tells the guardian of its parent's death when the starting thread ends.

#include "linux/GOwned.h"
#include "ports/Graphics.h"
#include "ports/HotKeys.h"
#include "ports/Menu.h"

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

using namespace std::chrono_literals;

/// A program under the guardian, stopped (SIGTERM, then SIGKILL) when the object goes.
class ChildProcess {
public:
    /// argv with the current environment plus `environment`. stdout is captured when captureStdout
    /// is true (read it with readLine); stderr goes to the test's.
    ChildProcess(std::vector<std::string> argv, const std::map<std::string, std::string>& environment = {},
        bool captureStdout = false);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    /// One line of stdout without its newline; nothing at end of file or timeout.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = 10s);
    /// SIGTERM, then waits; the exit status (128 + signal when a signal ended it), or nothing.
    std::optional<int> terminate(std::chrono::milliseconds timeout = 8s);
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool isRunning() { return !wait(0ms); }

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    std::string m_buffer;
    std::optional<int> m_status;
};

/// A program run to its end while the main loop turns (so that it may call the test's own
/// objects): its exit status, or -1 when it overran the timeout, and its stdout and stderr.
struct ToolResult {
    int status = -1;
    std::string output;
};
ToolResult runTool(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 10s);

/// Sets an environment variable (or unsets it, for nothing) for the life of the object.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::optional<std::string>& value);
    ~ScopedEnvironment();

private:
    std::string m_name;
    std::optional<std::string> m_previous;
};

/// A fresh folder under the temporary folder, removed with its content (read-only or not) at the end.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

std::string readFile(const std::filesystem::path& path);
/// Writes contents as the whole file, creating its folders.
void writeFile(const std::filesystem::path& path, const std::string& contents);

/// A private dbus-daemon whose address is DBUS_SESSION_BUS_ADDRESS for the life of the object. It
/// can activate only the machine's session services named in `activatable` (e.g. "org.xfce.Xfconf").
class PrivateSessionBus {
public:
    explicit PrivateSessionBus(const std::vector<std::string>& activatable = {});
    GRefPtr<GDBusConnection> connect() const;

private:
    ScratchDirectory m_folder;
    std::optional<ChildProcess> m_daemon;
    std::optional<ScopedEnvironment> m_address;
};

/// Xvfb on a free display, exported as DISPLAY for the life of the object.
class VirtualDisplay {
public:
    VirtualDisplay();

private:
    std::optional<ChildProcess> m_server;
    std::optional<ScopedEnvironment> m_display;
};

/// tests/support/stream_server.py on the given port (a free one for 0), listening.
class StreamServer {
public:
    explicit StreamServer(int port = 0);
    int port() const { return m_port; }
    std::string url(const std::string& path) const;
    /// A loopback address whose port refuses every connection while the server runs.
    std::string refusedUrl() const;
    /// The User-Agent of each request so far for the path (with its query).
    std::vector<std::string> userAgents(const std::string& path);
    int requestCount(const std::string& path) { return static_cast<int>(userAgents(path).size()); }
    int closedCount(const std::string& path);

private:
    ChildProcess m_process;
    int m_port = 0;
    int m_refusedPort = 0;
    std::vector<std::string> m_lines;
};

/// Runs the default main context until condition holds or timeout passes; returns condition().
bool runMainLoopUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s);
/// Runs the default main context for a while, for "nothing happens" checks.
void runMainLoopFor(std::chrono::milliseconds duration);
/// Waits (bounded) until the name has an owner on the connection's bus.
bool waitForNameOwner(GDBusConnection* connection, const std::string& name);

/// Printed with its types, so that a comparison checks the D-Bus types too.
std::string printed(GVariant* value);

struct DbusReply {
    GUniquePtr<GVariant> value; ///< The reply's tuple; null on error.
    std::string error; ///< The D-Bus error name and message; empty on success.
    explicit operator bool() const { return static_cast<bool>(value); }
    std::string text() const { return value ? printed(value.get()) : error; }
};

/// Calls a method (arguments in GVariant text format) while the main loop turns, so that objects
/// the test itself exports can answer; waits for the reply, bounded.
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

/// What a forked copy of this process (no exec) did: its exit status (128 + signal) and stderr.
struct ForkedResult {
    int status = -1;
    std::string standardError;
};
/// Runs body (its result is the exit status) in a forked copy of this process, for what a test
/// cannot do to itself: resource limits, dropped privileges, a crash in the middle of a write.
ForkedResult runInForkedChild(const std::function<int()>& body, std::chrono::milliseconds timeout = 10s);
/// In a forked child, becomes nobody so that a read-only folder is read-only to it; true when done
/// or not root.
bool dropRootPrivileges();

/// Installs a handler that appends each pressed hot key's id to pressed, then registers Alt+1…Alt+5
/// as slots 0–4 as the program does; their statuses, and their refs into refs.
std::array<OSStatus, 5> registerFiveHotKeys(
    HotKeys& keys, std::vector<std::uint32_t>& pressed, std::array<EventHotKeyRef, 5>* refs = nullptr);

/// A target answering one selector that records "selector tag title" for each action performed.
struct RecordingTarget : ActionTarget {
    explicit RecordingTarget(std::string selector = "channelSelected:") : selector(std::move(selector)) { }
    bool respondsTo(std::string_view name) const override { return name == selector; }
    void perform(std::string_view name, MenuItem& sender) override;
    std::string selector;
    std::vector<std::string> performed;
    std::function<void()> onPerform; ///< Runs inside perform, before it records.
};

/// An image of one premultiplied ARGB colour, rasterised as real ones are (size × scale, rounded up).
struct SolidImage : Image {
    SolidImage(Size size, std::uint32_t colour) : imageSize(size), colour(colour) { }
    Size size() const override { return imageSize; }
    bool isTemplate() const override { return false; }
    void setTemplate(bool) override { }
    Bitmap rasterize(double scale) const override;
    Size imageSize;
    std::uint32_t colour;
};

} // namespace zelna::test
