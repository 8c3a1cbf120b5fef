#pragma once

// What an integration test starts and talks to. Every program runs under tests/support/guardian.py
// in a process group of its own: it and whatever it starts are killed when the object goes, and
// also when the test process dies, however it dies. Programs inherit the test's environment (set
// it with ScopedEnvironment) and are started from the main thread, since the kernel tells the
// guardian of its parent's death when the starting thread ends.

#include "core/HotkeyManager.h"
#include "linux/support/Failure.h"
#include "ports/Graphics.h"
#include "ports/HotKeys.h"
#include "ports/Menu.h"

#include <array>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

namespace zelna::test {

using namespace std::chrono_literals;

/// Runs the default main context until condition holds or timeout passes; returns condition().
inline bool runMainLoopUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s)
{
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; !condition();)
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        else if (!g_main_context_iteration(nullptr, FALSE))
            std::this_thread::sleep_for(2ms);
    return true;
}

/// Runs the default main context for a while, for "nothing happens" checks.
inline void runMainLoopFor(std::chrono::milliseconds duration) { runMainLoopUntil([] { return false; }, duration); }

/// A program under the guardian, stopped (SIGTERM, then SIGKILL) when the object goes. Its stdout is
/// captured when captureStdout is true (read it with readLine); its stderr is the test's.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> argv, bool captureStdout = false)
    {
        argv.insert(argv.begin(), { "/usr/bin/python3", ZELNA_SOURCE_DIR "/tests/support/guardian.py",
                                      std::to_string(getpid()) });
        // Built before fork: between fork and exec, a child of a threaded process may not allocate.
        std::vector<char*> args;
        for (auto& arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        int pipeFds[2] = { -1, -1 };
        if ((captureStdout && pipe2(pipeFds, O_CLOEXEC) != 0) || (m_pid = fork()) < 0)
            throw std::runtime_error("cannot start " + argv[3]);
        if (m_pid == 0) {
            setpgid(0, 0);
            if (captureStdout)
                dup2(pipeFds[1], STDOUT_FILENO);
            execv(args[0], args.data());
            _exit(127);
        }
        setpgid(m_pid, m_pid);
        if (captureStdout)
            close(pipeFds[1]), m_stdout = pipeFds[0];
    }
    ChildProcess(const ChildProcess&) = delete;
    ~ChildProcess()
    {
        // The guardian kills the program 5 s after passing SIGTERM on; the group goes in any case.
        if (!terminate())
            kill(-m_pid, SIGKILL), wait(3s);
        if (m_stdout >= 0)
            close(m_stdout);
    }

    /// One line of stdout without its newline; nothing at end of file or timeout.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (std::size_t newline; m_stdout >= 0;) {
            if ((newline = m_buffer.find('\n')) != std::string::npos) {
                std::string line = m_buffer.substr(0, newline);
                return m_buffer.erase(0, newline + 1), line;
            }
            // Polls at least once, so that a zero timeout still picks up what is already there.
            pollfd fd { m_stdout, POLLIN, 0 };
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            char chunk[512];
            ssize_t count = 0;
            if (poll(&fd, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) <= 0
                || (count = read(m_stdout, chunk, sizeof chunk)) <= 0)
                break;
            m_buffer.append(chunk, static_cast<std::size_t>(count));
        }
        return std::nullopt;
    }
    /// The exit status (128 + signal when a signal ended it), or nothing while it runs.
    std::optional<int> wait(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (int status = 0; !m_status; std::this_thread::sleep_for(10ms))
            if (const pid_t done = waitpid(m_pid, &status, WNOHANG))
                m_status = done < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else if (std::chrono::steady_clock::now() >= deadline)
                break;
        return m_status;
    }
    bool isRunning() { return !wait(0ms); }
    std::optional<int> terminate(std::chrono::milliseconds timeout = 8s)
    {
        if (isRunning())
            kill(m_pid, SIGTERM);
        return wait(timeout);
    }

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    std::string m_buffer;
    std::optional<int> m_status;
};

/// A program run to its end while the main loop turns (so that it may call the test's own
/// objects): its exit status (-1 when it overran the timeout) and its stdout and stderr.
struct ToolResult {
    int status = -1;
    std::string output;
};
inline ToolResult runTool(std::vector<std::string> argv, std::chrono::milliseconds timeout = 10s)
{
    argv.insert(argv.begin(), { "sh", "-c", "exec \"$@\" 2>&1", "sh" });
    ChildProcess tool(argv, true);
    ToolResult result;
    if (runMainLoopUntil([&] { return !tool.isRunning(); }, timeout))
        result.status = *tool.wait(0ms);
    while (auto line = tool.readLine(0ms))
        result.output += (result.output.empty() ? "" : "\n") + *line;
    return result;
}

/// Sets an environment variable (unsets it, for nothing) for the life of the object.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::optional<std::string>& value) : m_name(std::move(name))
    {
        if (const char* previous = std::getenv(m_name.c_str()))
            m_previous = previous;
        value ? setenv(m_name.c_str(), value->c_str(), 1) : unsetenv(m_name.c_str());
    }
    ~ScopedEnvironment() { m_previous ? setenv(m_name.c_str(), m_previous->c_str(), 1) : unsetenv(m_name.c_str()); }

private:
    std::string m_name;
    std::optional<std::string> m_previous;
};

/// A fresh folder under the temporary folder, removed with its content at the end.
struct ScratchDirectory {
    ScratchDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "zelna-test-XXXXXX").string();
        path = mkdtemp(pattern.data()) ? pattern : throw std::runtime_error("mkdtemp failed");
    }
    ~ScratchDirectory() { std::error_code ignored; std::filesystem::remove_all(path, ignored); }
    std::filesystem::path path;
};

inline std::string readFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(file), {} };
}

/// Writes contents as the whole file, creating its folders.
inline void writeFile(const std::filesystem::path& path, const std::string& contents)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

/// A private dbus-daemon, DBUS_SESSION_BUS_ADDRESS for the life of the object. It activates nothing:
/// the service folder beside its copy of tests/support/session-bus.conf stays empty.
class PrivateSessionBus {
public:
    PrivateSessionBus()
    {
        std::filesystem::create_directory(m_folder.path / "services");
        std::filesystem::copy_file(ZELNA_SOURCE_DIR "/tests/support/session-bus.conf", m_folder.path / "bus.conf");
        m_daemon.emplace(std::vector<std::string> { "dbus-daemon", "--nofork", "--print-address",
                             "--config-file=" + (m_folder.path / "bus.conf").string() }, true);
        m_address.emplace("DBUS_SESSION_BUS_ADDRESS", m_daemon->readLine().value_or("dbus-daemon did not start"));
    }
    GRefPtr<GDBusConnection> connect() const
    {
        GUniqueOutPtr<GError> error;
        auto connection = GRefPtr<GDBusConnection>::adopt(g_dbus_connection_new_for_address_sync(
            std::getenv("DBUS_SESSION_BUS_ADDRESS"),
            static_cast<GDBusConnectionFlags>(
                G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error.outPtr()));
        if (!connection)
            throw std::runtime_error("cannot connect to the private bus: " + Failure::from(error.get()).message);
        g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
        return connection;
    }

private:
    ScratchDirectory m_folder;
    std::optional<ChildProcess> m_daemon;
    std::optional<ScopedEnvironment> m_address;
};

/// Xvfb on a free display, DISPLAY for the life of the object.
struct VirtualDisplay {
    // Xvfb writes the display number it picked to the descriptor given.
    ChildProcess server { { "Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1280x800x24" }, true };
    ScopedEnvironment display { "DISPLAY", ":" + server.readLine().value_or("Xvfb did not start") };
};

/// Printed with its types, so that a comparison checks the D-Bus types too.
inline std::string printed(GVariant* value)
{
    GUniquePtr<gchar> text(value ? g_variant_print(value, TRUE) : nullptr);
    return text ? text.get() : "<absent>";
}

/// A reply's tuple, or null and the D-Bus error's name and message.
struct DbusReply {
    GUniquePtr<GVariant> value;
    std::string error;
    explicit operator bool() const { return static_cast<bool>(value); }
    std::string text() const { return value ? printed(value.get()) : error; }
};

/// Calls a method (arguments in GVariant text format) while the main loop turns, so that objects
/// the test itself exports can answer. The call's own 5 s timeout ends it before the main loop's
/// bound, so the callback never outlives `pending`.
inline DbusReply callMethod(GDBusConnection* connection, const std::string& destination, const std::string& path,
    const std::string& interface, const std::string& method, const std::string& arguments = "()")
{
    std::pair<bool, DbusReply> pending;
    g_dbus_connection_call(connection, destination.c_str(), path.c_str(), interface.c_str(), method.c_str(),
        g_variant_new_parsed(arguments.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        [](GObject* source, GAsyncResult* result, void* userData) {
            auto& [isDone, reply] = *static_cast<std::pair<bool, DbusReply>*>(userData);
            GUniqueOutPtr<GError> error;
            reply.value.reset(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error.outPtr()));
            reply.error = error ? error->message : "", isDone = true;
        },
        &pending);
    runMainLoopUntil([&] { return pending.first; });
    return std::move(pending.second);
}

/// Waits (bounded) until the name has an owner on the connection's bus.
inline bool waitForNameOwner(GDBusConnection* connection, const std::string& name)
{
    return runMainLoopUntil([&] {
        return callMethod(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", "('" + name + "',)").text() == "(true,)";
    });
}

/// Every property of an interface (Properties.GetAll), each value printed with its type.
inline std::map<std::string, std::string> allProperties(
    GDBusConnection* connection, const std::string& destination, const std::string& path, const std::string& interface)
{
    const std::string arguments = "('" + interface + "',)";
    auto reply = callMethod(connection, destination, path, "org.freedesktop.DBus.Properties", "GetAll", arguments);
    std::map<std::string, std::string> properties;
    GUniquePtr<GVariant> all(reply ? g_variant_get_child_value(reply.value.get(), 0) : nullptr);
    for (gsize index = 0; all && index < g_variant_n_children(all.get()); ++index) {
        const char* name = nullptr;
        GVariant* value = nullptr;
        g_variant_get_child(all.get(), index, "{&sv}", &name, &value);
        properties[name] = printed(GUniquePtr<GVariant>(value).get());
    }
    return properties;
}

/// Records the signals a sender emits on an object path, as "Name(parameters)".
class SignalRecorder {
public:
    SignalRecorder(GDBusConnection* connection, const std::string& sender, const std::string& path)
        : m_connection(GRefPtr<GDBusConnection>::share(connection))
    {
        m_subscription = g_dbus_connection_signal_subscribe(connection, sender.c_str(), nullptr, nullptr, path.c_str(),
            nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const char*, const char*, const char*, const char* name, GVariant* parameters,
                void* self) { static_cast<SignalRecorder*>(self)->m_signals[name].push_back(name + printed(parameters)); },
            this, nullptr);
        // The bus handles a connection's messages in order: once this round trip is answered, the
        // match rule is in place and no signal emitted from now on is missed.
        callMethod(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId");
    }
    ~SignalRecorder() { g_dbus_connection_signal_unsubscribe(m_connection.get(), m_subscription); }
    /// The signals with that name, with their parameters, in order of arrival.
    std::vector<std::string> of(const std::string& name) { return m_signals[name]; }

private:
    GRefPtr<GDBusConnection> m_connection;
    unsigned m_subscription = 0;
    std::map<std::string, std::vector<std::string>> m_signals;
};

/// Installs a handler that appends each pressed hot key's id to pressed, then registers Alt+1…Alt+5
/// as slots 0–4, as the program does; their statuses, and their refs into refs.
inline std::array<OSStatus, 5> registerFiveHotKeys(
    HotKeys& keys, std::vector<std::uint32_t>& pressed, std::array<EventHotKeyRef, 5>* refs = nullptr)
{
    static constexpr EventTypeSpec type { kEventClassKeyboard, kEventHotKeyPressed };
    keys.installEventHandler(keys.getApplicationEventTarget(), [](EventHandlerCallRef, EventRef event, void* pressed) {
        EventHotKeyID id {};
        const auto status
            = event->getEventParameter(kEventParamDirectObject, typeEventHotKeyID, nullptr, sizeof id, nullptr, &id);
        if (status == noErr)
            static_cast<std::vector<std::uint32_t>*>(pressed)->push_back(id.id);
        return status;
    }, 1, &type, &pressed, nullptr);
    std::array<EventHotKeyRef, 5> unused {};
    std::array<OSStatus, 5> statuses {};
    for (std::uint32_t slot = 0; slot < 5; ++slot)
        statuses[slot] = keys.registerEventHotKey(HotkeyManager::keyCodes[slot], optionKey,
            { fourCharCode("ZELN"), slot }, keys.getApplicationEventTarget(), 0, &(refs ? *refs : unused)[slot]);
    return statuses;
}

/// A target answering one selector that records "selector tag title" for each action performed.
struct RecordingTarget : ActionTarget {
    explicit RecordingTarget(std::string selector = "channelSelected:") : selector(std::move(selector)) { }
    bool respondsTo(std::string_view name) const override { return name == selector; }
    void perform(std::string_view name, MenuItem& sender) override
    {
        if (onPerform)
            onPerform();
        performed.push_back(std::string(name) + " " + std::to_string(sender.tag) + " " + sender.title);
    }
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
    Bitmap rasterize(double scale) const override
    {
        const auto pixels = [&](double points) { return static_cast<int>(std::ceil(points * scale)); };
        const int width = pixels(imageSize.width), height = pixels(imageSize.height);
        return { width, height, std::vector<std::uint32_t>(static_cast<std::size_t>(width * height), colour) };
    }
    Size imageSize;
    std::uint32_t colour;
};

} // namespace zelna::test
