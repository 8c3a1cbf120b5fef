#include "support/TestServices.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zelna::test {

namespace {

void setEnvironmentValue(const std::string& name, const std::optional<std::string>& value)
{
    if (value)
        setenv(name.c_str(), value->c_str(), 1);
    else
        unsetenv(name.c_str());
}

} // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> environment,
                           bool captureStdout)
{
    int pipeFds[2] = {-1, -1};
    if (captureStdout && pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    std::vector<char*> args;
    for (auto& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);

    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        setpgid(0, 0);
        for (const auto& [name, value] : environment)
            setenv(name.c_str(), value.c_str(), 1);
        if (captureStdout)
            dup2(pipeFds[1], STDOUT_FILENO);
        execvp(args[0], args.data());
        std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
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
    if (isRunning() && !terminate(std::chrono::seconds(3))) {
        kill(-m_pid, SIGKILL);
        kill(m_pid, SIGKILL);
        wait(std::chrono::seconds(3));
    }
    if (m_stdout >= 0)
        close(m_stdout);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (auto newline = m_buffer.find('\n'); newline != std::string::npos) {
            std::string line = m_buffer.substr(0, newline);
            m_buffer.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (m_stdout < 0)
            return std::nullopt;
        // Polls at least once, so that a zero timeout still picks up what is already there.
        pollfd fd{m_stdout, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0))) <= 0)
            return std::nullopt;
        char chunk[512];
        const ssize_t count = read(m_stdout, chunk, sizeof chunk);
        if (count <= 0)
            return std::nullopt;
        m_buffer.append(chunk, static_cast<std::size_t>(count));
    }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout)
{
    if (m_status)
        return m_status;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        int status = 0;
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_status;
        }
        if (done < 0)
            return m_status = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

bool ChildProcess::isRunning()
{
    return !wait(std::chrono::milliseconds(0));
}

std::optional<int> ChildProcess::terminate(std::chrono::milliseconds timeout)
{
    if (isRunning())
        kill(m_pid, SIGTERM);
    return wait(timeout);
}

PrivateSessionBus::PrivateSessionBus()
{
    m_daemon.emplace(std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--print-address",
                                              "--address=unix:tmpdir=/tmp"},
                     std::map<std::string, std::string>{}, true);
    auto address = m_daemon->readLine();
    if (!address || address->empty())
        throw std::runtime_error("dbus-daemon did not start");
    m_address = *address;
    m_exported.emplace("DBUS_SESSION_BUS_ADDRESS", m_address);
}

GRefPtr<GDBusConnection> PrivateSessionBus::connect() const
{
    GUniqueOutPtr<GError> error;
    auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT
                                                   | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    auto connection = GRefPtr<GDBusConnection>::adopt(
        g_dbus_connection_new_for_address_sync(m_address.c_str(), flags, nullptr, nullptr, &error.outPtr()));
    if (!connection)
        throw std::runtime_error("cannot connect to the private bus: " + errorMessage(error.get()));
    g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
    return connection;
}

VirtualDisplay::VirtualDisplay()
{
    // Xvfb writes the display number it picked to the descriptor given.
    m_server.emplace(std::vector<std::string>{"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                                              "1280x800x24"},
                     std::map<std::string, std::string>{}, true);
    const auto number = m_server->readLine();
    if (!number || number->empty())
        throw std::runtime_error("Xvfb did not start");
    m_exported.emplace("DISPLAY", ":" + *number);
}

bool waitForNameOwner(GDBusConnection* connection, const std::string& name, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        GUniquePtr<GVariant> reply(g_dbus_connection_call_sync(
            connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
            g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr));
        gboolean hasOwner = FALSE;
        if (reply)
            g_variant_get(reply.get(), "(b)", &hasOwner);
        if (hasOwner)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

bool runMainLoopUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        if (!g_main_context_iteration(nullptr, FALSE))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void runMainLoopFor(std::chrono::milliseconds duration)
{
    runMainLoopUntil([] { return false; }, duration);
}

ForkedResult runInForkedChild(const std::function<int()>& body, std::chrono::milliseconds timeout)
{
    // The child's stderr goes to a nameless file, read once the child is gone.
    std::unique_ptr<FILE, int (*)(FILE*)> standardError(std::tmpfile(), std::fclose);
    const pid_t pid = standardError ? fork() : -1;
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(fileno(standardError.get()), STDERR_FILENO);
        alarm(static_cast<unsigned>(std::chrono::ceil<std::chrono::seconds>(timeout).count()));
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ForkedResult result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), {}};
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

std::array<OSStatus, 5> registerFiveHotKeys(HotKeys& keys, std::vector<std::uint32_t>& pressed,
                                            std::array<EventHotKeyRef, 5>* refs)
{
    static constexpr EventTypeSpec type{kEventClassKeyboard, kEventHotKeyPressed};
    const auto record = [](EventHandlerCallRef, EventRef event, void* userData) {
        EventHotKeyID id{};
        const OSStatus status =
            event->getEventParameter(kEventParamDirectObject, typeEventHotKeyID, nullptr, sizeof id, nullptr, &id);
        if (status == noErr)
            static_cast<std::vector<std::uint32_t>*>(userData)->push_back(id.id);
        return status;
    };
    keys.installEventHandler(keys.getApplicationEventTarget(), record, 1, &type, &pressed, nullptr);
    // The number-row key codes of 1 to 5.
    constexpr std::array<std::uint32_t, 5> keyCodes = {18, 19, 20, 21, 23};
    std::array<EventHotKeyRef, 5> unused{};
    std::array<OSStatus, 5> statuses{};
    for (std::uint32_t slot = 0; slot < 5; ++slot)
        statuses[slot] = keys.registerEventHotKey(keyCodes[slot], optionKey, {fourCharCode("ZELN"), slot},
                                                  keys.getApplicationEventTarget(), 0, &(refs ? *refs : unused)[slot]);
    return statuses;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::stringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

void writeFile(const std::filesystem::path& path, const std::string& contents)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

ScratchDirectory::ScratchDirectory()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "zelna-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

ScratchDirectory::~ScratchDirectory()
{
    std::error_code ignored;
    // Tests may leave read-only folders behind; make them writable so they can go.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(m_path, ignored);
}

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : m_name(std::move(name))
{
    if (const char* previous = std::getenv(m_name.c_str()))
        m_previous = previous;
    setEnvironmentValue(m_name, value);
}

ScopedEnvironment::~ScopedEnvironment()
{
    setEnvironmentValue(m_name, m_previous);
}

} // namespace zelna::test
