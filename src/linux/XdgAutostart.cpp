#include "linux/XdgAutostart.h"

#include "linux/support/AtomicFile.h"
#include "linux/support/GOwned.h"
#include "linux/support/Log.h"
#include "linux/support/RegularFile.h"
#include "linux/support/ResourcePaths.h"
#include "linux/support/XdgBaseDirectories.h"

#include <cerrno>
#include <cstring>
#include <map>

#include <unistd.h>

namespace {

constexpr std::string_view entryFileName = "org.zelna.ZelnaMenu.desktop";
constexpr const char* desktopEntryGroup = G_KEY_FILE_DESKTOP_GROUP;

std::filesystem::path userAutostartFolder()
{
    return userConfigDirectory() / "autostart";
}

/// Desktop entries are a few kilobytes, translations and all.
constexpr std::size_t maximumEntrySize = 256 * 1024;

enum class EntryState { absent, unreadable, refused, hidden, switchedOffForGnome, startsProgram };

/// The refused file last reported at each path, so that every menu rebuild does not say it again.
using ReportedRefusals = std::map<std::filesystem::path, FileIdentity>;

/// What a session manager makes of the entry at path. Something there that is not a regular
/// file, or far too large, is refused unread, with one line the first time it is seen.
EntryState readEntry(const std::filesystem::path& path, ReportedRefusals& reported)
{
    const FileRead file = readRegularFile(path, maximumEntrySize);
    switch (file.outcome) {
    case FileRead::Outcome::missing:
        return EntryState::absent;
    case FileRead::Outcome::failed:
        return EntryState::unreadable;
    case FileRead::Outcome::refused:
        if (auto [last, isFirst] = reported.try_emplace(path, file.identity);
            isFirst || last->second != file.identity) {
            last->second = file.identity;
            logLine("%s; the autostart entry is ignored and left as it is", file.problem.c_str());
        }
        return EntryState::refused;
    case FileRead::Outcome::read:
        break;
    }
    GUniquePtr<GKeyFile> keyFile(g_key_file_new());
    if (!g_key_file_load_from_data(keyFile.get(), file.contents.data(), file.contents.size(), G_KEY_FILE_NONE, nullptr)
        || !g_key_file_has_group(keyFile.get(), desktopEntryGroup))
        return EntryState::unreadable;
    if (g_key_file_get_boolean(keyFile.get(), desktopEntryGroup, G_KEY_FILE_DESKTOP_KEY_HIDDEN, nullptr))
        return EntryState::hidden;
    // As gnome-session reads it: present and not true means off.
    constexpr const char* gnomeEnabledKey = "X-GNOME-Autostart-enabled";
    if (g_key_file_has_key(keyFile.get(), desktopEntryGroup, gnomeEnabledKey, nullptr)
        && !g_key_file_get_boolean(keyFile.get(), desktopEntryGroup, gnomeEnabledKey, nullptr))
        return EntryState::switchedOffForGnome;
    return EntryState::startsProgram;
}

/// The first system entry of that name, the one a session manager would use without ours.
EntryState systemEntryState(ReportedRefusals& reported)
{
    for (const auto& folder : systemConfigDirectories()) {
        if (auto state = readEntry(folder / "autostart" / entryFileName, reported); state != EntryState::absent)
            return state;
    }
    return EntryState::absent;
}

std::string desktopEntry(const std::filesystem::path& executable, bool isHidden)
{
    GUniquePtr<GKeyFile> keyFile(g_key_file_new());
    const char* group = desktopEntryGroup;
    g_key_file_set_string(keyFile.get(), group, G_KEY_FILE_DESKTOP_KEY_TYPE, G_KEY_FILE_DESKTOP_TYPE_APPLICATION);
    g_key_file_set_string(keyFile.get(), group, G_KEY_FILE_DESKTOP_KEY_NAME, "ZelnaMenu");
    // GLib looks the first word of Exec up before it turns "%%" into "%", so GNOME would drop an
    // entry whose program path holds a percent sign; as an argument of the shell it is expanded.
    std::string exec = desktopExecArgument(executable.string());
    if (executable.string().find('%') != std::string::npos)
        exec = "/bin/sh -c " + desktopExecArgument("exec \"$0\"") + " " + exec;
    // GKeyFile adds the string escaping (a backslash doubled, a newline as \n) on top.
    g_key_file_set_string(keyFile.get(), group, G_KEY_FILE_DESKTOP_KEY_EXEC, exec.c_str());
    g_key_file_set_string(keyFile.get(), group, G_KEY_FILE_DESKTOP_KEY_TRY_EXEC, executable.c_str());
    g_key_file_set_boolean(keyFile.get(), group, G_KEY_FILE_DESKTOP_KEY_TERMINAL, FALSE);
    if (isHidden)
        g_key_file_set_boolean(keyFile.get(), group, G_KEY_FILE_DESKTOP_KEY_HIDDEN, TRUE);
    gsize length = 0;
    GUniquePtr<gchar> data(g_key_file_to_data(keyFile.get(), &length, nullptr));
    return std::string(data.get(), length);
}

class XdgAutostartService final : public SMAppService {
public:
    XdgAutostartService(std::optional<std::filesystem::path> executable, std::shared_ptr<ReportedRefusals> reported)
        : m_executable(std::move(executable))
        , m_reported(std::move(reported))
    {
    }

    SMAppServiceStatus status() override
    {
        if (!executable())
            return SMAppServiceStatus::notFound;
        auto state = readEntry(userAutostartFolder() / entryFileName, *m_reported);
        if (state == EntryState::absent)
            state = systemEntryState(*m_reported);
        return state == EntryState::startsProgram ? SMAppServiceStatus::enabled : SMAppServiceStatus::notRegistered;
    }

    bool registerAndReturnError(std::string* error) override { return reported(registerEntry(), error); }
    bool unregisterAndReturnError(std::string* error) override { return reported(unregisterEntry(), error); }

private:
    /// The port's shape of a result: a caller that passes no error pointer drops the failure, so
    /// it gets its line here.
    static bool reported(const Result<void>& result, std::string* error)
    {
        if (result)
            return true;
        if (error)
            *error = result.failure().message;
        else
            logLine("launch at login not changed: %s", result.failure().message.c_str());
        return false;
    }

    Result<void> registerEntry()
    {
        const auto path = executable();
        if (!path)
            return Failure { "The path of the running program cannot be found." };
        // A desktop entry is UTF-8 text; session managers would drop the whole entry.
        if (!g_utf8_validate(path->c_str(), -1, nullptr))
            return Failure { "The program's path is not valid UTF-8." };
        if (auto replaceable = userEntryIsReplaceable(); !replaceable)
            return replaceable;
        return writeUserEntry(desktopEntry(*path, false));
    }

    Result<void> unregisterEntry()
    {
        if (auto replaceable = userEntryIsReplaceable(); !replaceable)
            return replaceable;
        // A system entry switched off only by GNOME's key still starts the program under
        // systemd's autostart generator, which ignores that key; Hidden=true masks it everywhere.
        if (const auto system = systemEntryState(*m_reported);
            system == EntryState::startsProgram || system == EntryState::switchedOffForGnome)
            return writeUserEntry(desktopEntry(executable().value_or("zelnamenu"), true));
        const auto path = userAutostartFolder() / entryFileName;
        if (unlink(path.c_str()) != 0 && errno != ENOENT)
            return Failure { "Cannot remove " + path.string() + ": " + std::strerror(errno) + "." };
        return {};
    }

    std::optional<std::filesystem::path> executable() const
    {
        if (!m_executable)
            return runningExecutable();
        if (m_executable->empty())
            return std::nullopt;
        return m_executable;
    }

    /// Fails where something of the user's that is no entry of ours stands at the path: it is
    /// never replaced or removed.
    Result<void> userEntryIsReplaceable()
    {
        const auto path = userAutostartFolder() / entryFileName;
        if (readEntry(path, *m_reported) != EntryState::refused)
            return {};
        return Failure { path.string() + " is left as it is: it is not a regular file, or far too large." };
    }

    static Result<void> writeUserEntry(const std::string& contents)
    {
        const auto folder = userAutostartFolder();
        if (g_mkdir_with_parents(folder.c_str(), 0700) != 0)
            return Failure { "Cannot create " + folder.string() + ": " + std::strerror(errno) + "." };
        if (const auto written = replaceFileAtomically(folder / entryFileName, contents); !written)
            return Failure { "Cannot write the autostart entry: " + written.failure().message + "." };
        return {};
    }

    std::optional<std::filesystem::path> m_executable;
    std::shared_ptr<ReportedRefusals> m_reported;
};

} // namespace

XdgAutostart::XdgAutostart()
    : m_reportedRefusals(std::make_shared<ReportedRefusals>())
{
}

XdgAutostart::XdgAutostart(std::filesystem::path executable)
    : m_executable(std::move(executable))
    , m_reportedRefusals(std::make_shared<ReportedRefusals>())
{
}

std::shared_ptr<SMAppService> XdgAutostart::mainAppService()
{
    return std::make_shared<XdgAutostartService>(m_executable, m_reportedRefusals);
}

std::string desktopExecArgument(std::string_view argument)
{
    constexpr std::string_view reservedCharacters = " \t\n\"'\\><~|&;$*?#()`";
    constexpr std::string_view escapedInQuotes = "\"`$\\";
    const bool needsQuotes = argument.find_first_of(reservedCharacters) != std::string_view::npos;

    std::string quoted;
    if (needsQuotes)
        quoted += '"';
    for (char character : argument) {
        if (needsQuotes && escapedInQuotes.find(character) != std::string_view::npos)
            quoted += '\\';
        // A lone percent sign would start a field code.
        if (character == '%')
            quoted += '%';
        quoted += character;
    }
    if (needsQuotes)
        quoted += '"';
    return quoted;
}
