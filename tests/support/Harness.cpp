#include "support/Harness.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zelna::test {

namespace {

void setEnvironmentValue(const std::string& name, const std::optional<std::string>& value)
{
    if (value)
        setenv(name.c_str(), value->c_str(), 1);
    else
        unsetenv(name.c_str());
}

int exitStatus(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

ChildProcess::ChildProcess(
    std::vector<std::string> argv, const std::map<std::string, std::string>& environment, bool captureStdout)
{
    argv.insert(argv.begin(), { "/usr/bin/python3", ZELNA_SOURCE_DIR "/tests/support/guardian.py",
                                  std::to_string(getpid()) });
    // Everything is built before fork: between fork and exec a child of a threaded process may
    // not allocate.
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view assignment(*entry);
        const auto equals = assignment.find('=');
        variables.emplace(assignment.substr(0, equals), assignment.substr(equals + 1));
    }
    for (const auto& [name, value] : environment)
        variables[name] = value;
    std::vector<std::string> assignments;
    for (const auto& [name, value] : variables)
        assignments.push_back(name + "=" + value);
    std::vector<char*> args, envp;
    for (auto& arg : argv)
        args.push_back(arg.data());
    for (auto& assignment : assignments)
        envp.push_back(assignment.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);

    int pipeFds[2] = { -1, -1 };
    if (captureStdout && pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        setpgid(0, 0);
        if (captureStdout)
            dup2(pipeFds[1], STDOUT_FILENO);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    setpgid(m_pid, m_pid);
    if (captureStdout) {
        close(pipeFds[1]);
        m_stdout = pipeFds[0];
    }
}

ChildProcess::~ChildProcess()
{
    // The guardian gives the program 5 s after SIGTERM before it kills it; the group goes anyway.
    if (isRunning() && !terminate()) {
        kill(-m_pid, SIGKILL);
        wait(3s);
    }
    if (m_stdout >= 0)
        close(m_stdout);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_stdout >= 0) {
        if (auto newline = m_buffer.find('\n'); newline != std::string::npos) {
            std::string line = m_buffer.substr(0, newline);
            m_buffer.erase(0, newline + 1);
            return line;
        }
        // Polls at least once, so that a zero timeout still picks up what is already there.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd fd { m_stdout, POLLIN, 0 };
        char chunk[512];
        ssize_t count = 0;
        if (poll(&fd, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) <= 0
            || (count = read(m_stdout, chunk, sizeof chunk)) <= 0)
            break;
        m_buffer.append(chunk, static_cast<std::size_t>(count));
    }
    return std::nullopt;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!m_status) {
        int status = 0;
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done != 0)
            m_status = done == m_pid ? exitStatus(status) : -1;
        else if (std::chrono::steady_clock::now() >= deadline)
            break;
        else
            std::this_thread::sleep_for(10ms);
    }
    return m_status;
}

std::optional<int> ChildProcess::terminate(std::chrono::milliseconds timeout)
{
    if (isRunning())
        kill(m_pid, SIGTERM);
    return wait(timeout);
}

ToolResult runTool(const std::vector<std::string>& argv, std::chrono::milliseconds timeout)
{
    std::vector<std::string> shell { "sh", "-c", "exec \"$@\" 2>&1", "sh" };
    shell.insert(shell.end(), argv.begin(), argv.end());
    ChildProcess tool(shell, {}, true);
    ToolResult result;
    if (runMainLoopUntil([&] { return !tool.isRunning(); }, timeout))
        result.status = *tool.wait(0ms);
    while (auto line = tool.readLine(0ms))
        result.output += (result.output.empty() ? "" : "\n") + *line;
    return result;
}

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : m_name(std::move(name))
{
    if (const char* previous = std::getenv(m_name.c_str()))
        m_previous = previous;
    setEnvironmentValue(m_name, value);
}

ScopedEnvironment::~ScopedEnvironment() { setEnvironmentValue(m_name, m_previous); }

ScratchDirectory::ScratchDirectory()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "zelna-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

ScratchDirectory::~ScratchDirectory()
{
    namespace fs = std::filesystem;
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(m_path, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(m_path, ignored);
}

std::string readFile(const std::filesystem::path& path)
{
    std::stringstream contents;
    contents << std::ifstream(path, std::ios::binary).rdbuf();
    return contents.str();
}

void writeFile(const std::filesystem::path& path, const std::string& contents)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

PrivateSessionBus::PrivateSessionBus(const std::vector<std::string>& activatable)
{
    const std::filesystem::path folder = m_folder.path();
    std::filesystem::create_directory(folder / "services");
    std::filesystem::copy_file(ZELNA_SOURCE_DIR "/tests/support/session-bus.conf", folder / "session-bus.conf");
    for (const auto& name : activatable)
        std::filesystem::create_symlink("/usr/share/dbus-1/services/" + name + ".service",
            folder / "services" / (name + ".service"));
    m_daemon.emplace(std::vector<std::string> { "dbus-daemon", "--nofork", "--print-address",
                         "--config-file=" + (folder / "session-bus.conf").string() },
        std::map<std::string, std::string> {}, true);
    const auto address = m_daemon->readLine();
    if (!address || address->empty())
        throw std::runtime_error("dbus-daemon did not start");
    m_address.emplace("DBUS_SESSION_BUS_ADDRESS", *address);
}

GRefPtr<GDBusConnection> PrivateSessionBus::connect() const
{
    GUniqueOutPtr<GError> error;
    auto connection = GRefPtr<GDBusConnection>::adopt(g_dbus_connection_new_for_address_sync(
        std::getenv("DBUS_SESSION_BUS_ADDRESS"),
        static_cast<GDBusConnectionFlags>(
            G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error.outPtr()));
    if (!connection)
        throw std::runtime_error("cannot connect to the private bus: " + errorMessage(error.get()));
    g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
    return connection;
}

VirtualDisplay::VirtualDisplay()
{
    // Xvfb writes the display number it picked to the descriptor given.
    m_server.emplace(std::vector<std::string> { "Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                         "1280x800x24" },
        std::map<std::string, std::string> {}, true);
    const auto number = m_server->readLine();
    if (!number || number->empty())
        throw std::runtime_error("Xvfb did not start");
    m_display.emplace("DISPLAY", ":" + *number);
}

StreamServer::StreamServer(int port)
    : m_process({ "/usr/bin/python3", ZELNA_SOURCE_DIR "/tests/support/stream_server.py", "--port",
                    std::to_string(port), "--media-dir", ZELNA_BINARY_DIR "/test-media" },
        {}, true)
{
    // The first start in a build tree encodes the media files, which takes a few seconds.
    const auto listening = m_process.readLine(60s);
    const auto refusing = m_process.readLine();
    if (!listening || !refusing || listening->rfind("PORT ", 0) != 0)
        throw std::runtime_error("the stream server did not start");
    m_port = std::stoi(listening->substr(5));
    m_refusedPort = std::stoi(refusing->substr(refusing->find(' ') + 1));
}

std::string StreamServer::url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::string StreamServer::refusedUrl() const { return "http://127.0.0.1:" + std::to_string(m_refusedPort) + "/mp3"; }

std::vector<std::string> StreamServer::userAgents(const std::string& path)
{
    while (auto line = m_process.readLine(0ms))
        m_lines.push_back(*line);
    std::vector<std::string> agents;
    for (const auto& line : m_lines)
        if (line.rfind("REQUEST " + path + " ", 0) == 0)
            agents.push_back(line.substr(path.size() + 9));
    return agents;
}

int StreamServer::closedCount(const std::string& path)
{
    userAgents(path);
    return static_cast<int>(std::count(m_lines.begin(), m_lines.end(), "CLOSED " + path));
}

bool runMainLoopUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        if (!g_main_context_iteration(nullptr, FALSE))
            std::this_thread::sleep_for(2ms);
    }
    return true;
}

void runMainLoopFor(std::chrono::milliseconds duration)
{
    runMainLoopUntil([] { return false; }, duration);
}

bool waitForNameOwner(GDBusConnection* connection, const std::string& name)
{
    bool hasOwner = false;
    const guint watch = g_bus_watch_name_on_connection(connection, name.c_str(), G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, void* owned) { *static_cast<bool*>(owned) = true; }, nullptr,
        &hasOwner, nullptr);
    runMainLoopUntil([&] { return hasOwner; });
    g_bus_unwatch_name(watch);
    return hasOwner;
}

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
    g_dbus_connection_call(connection, destination.c_str(), path.c_str(), interface.c_str(), method.c_str(),
        g_variant_new_parsed(arguments.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        [](GObject* source, GAsyncResult* result, void* userData) {
            auto* pending = static_cast<Pending*>(userData);
            GUniqueOutPtr<GError> error;
            pending->reply.value.reset(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error.outPtr()));
            pending->reply.error = error ? error->message : "";
            pending->isDone = true;
        },
        &pending);
    runMainLoopUntil([&] { return pending.isDone; });
    return std::move(pending.reply);
}

SignalRecorder::SignalRecorder(GDBusConnection* connection, const std::string& sender, const std::string& path)
    : m_connection(GRefPtr<GDBusConnection>::share(connection))
{
    m_subscription = g_dbus_connection_signal_subscribe(connection, sender.c_str(), nullptr, nullptr, path.c_str(),
        nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, const char*, const char* name, GVariant* parameters,
            void* userData) { static_cast<SignalRecorder*>(userData)->m_signals.emplace_back(name, printed(parameters)); },
        this, nullptr);
    // The bus handles a connection's messages in order: once this round trip is answered, the
    // match rule is in place and no signal emitted from now on is missed.
    callMethod(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId");
}

SignalRecorder::~SignalRecorder() { g_dbus_connection_signal_unsubscribe(m_connection.get(), m_subscription); }

std::vector<std::string> SignalRecorder::of(const std::string& name) const
{
    std::vector<std::string> parameters;
    for (const auto& [signalName, text] : m_signals)
        if (signalName == name)
            parameters.push_back(text);
    return parameters;
}

ForkedResult runInForkedChild(const std::function<int()>& body, std::chrono::milliseconds timeout)
{
    // The child's stderr goes to a nameless file, read once the child is gone.
    std::unique_ptr<FILE, int (*)(FILE*)> standardError(std::tmpfile(), std::fclose);
    const pid_t parent = getpid();
    const pid_t pid = standardError ? fork() : -1;
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Dies with the test, which may itself be killed while it waits here.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(126);
        dup2(fileno(standardError.get()), STDERR_FILENO);
        alarm(static_cast<unsigned>(std::chrono::ceil<std::chrono::seconds>(timeout).count()));
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ForkedResult result { exitStatus(status), {} };
    std::rewind(standardError.get());
    for (int c; (c = std::fgetc(standardError.get())) != EOF;)
        result.standardError.push_back(static_cast<char>(c));
    return result;
}

bool dropRootPrivileges()
{
    constexpr uid_t nobody = 65534;
    return geteuid() != 0 || (setgid(nobody) == 0 && setuid(nobody) == 0);
}

std::array<OSStatus, 5> registerFiveHotKeys(
    HotKeys& keys, std::vector<std::uint32_t>& pressed, std::array<EventHotKeyRef, 5>* refs)
{
    static constexpr EventTypeSpec type { kEventClassKeyboard, kEventHotKeyPressed };
    const auto record = [](EventHandlerCallRef, EventRef event, void* userData) {
        EventHotKeyID id {};
        const OSStatus status
            = event->getEventParameter(kEventParamDirectObject, typeEventHotKeyID, nullptr, sizeof id, nullptr, &id);
        if (status == noErr)
            static_cast<std::vector<std::uint32_t>*>(userData)->push_back(id.id);
        return status;
    };
    keys.installEventHandler(keys.getApplicationEventTarget(), record, 1, &type, &pressed, nullptr);
    // The number-row key codes of 1 to 5.
    constexpr std::array<std::uint32_t, 5> keyCodes = { 18, 19, 20, 21, 23 };
    std::array<EventHotKeyRef, 5> unused {};
    std::array<OSStatus, 5> statuses {};
    for (std::uint32_t slot = 0; slot < 5; ++slot)
        statuses[slot] = keys.registerEventHotKey(keyCodes[slot], optionKey, { fourCharCode("ZELN"), slot },
            keys.getApplicationEventTarget(), 0, &(refs ? *refs : unused)[slot]);
    return statuses;
}

void RecordingTarget::perform(std::string_view name, MenuItem& sender)
{
    if (onPerform)
        onPerform();
    performed.push_back(std::string(name) + " " + std::to_string(sender.tag) + " " + sender.title);
}

Bitmap SolidImage::rasterize(double scale) const
{
    const int width = static_cast<int>(std::ceil(imageSize.width * scale));
    const int height = static_cast<int>(std::ceil(imageSize.height * scale));
    return { width, height, std::vector<std::uint32_t>(static_cast<std::size_t>(width * height), colour) };
}

} // namespace zelna::test
