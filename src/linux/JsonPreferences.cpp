#include "linux/JsonPreferences.h"

#include "linux/support/AtomicFile.h"
#include "linux/support/Log.h"
#include "linux/support/XdgBaseDirectories.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

/// Writing a value back recurses once per level, so a file nested deeper than any real
/// preferences would overflow the stack; it counts as unreadable instead.
constexpr int maximumDepth = 256;

/// Preferences are a few hundred bytes; a file far larger is not ours to parse on the main thread.
constexpr std::size_t maximumFileSize = 1024 * 1024;

/// The text as a JSON object; nothing when it is not one.
std::optional<nlohmann::json> parsedObject(std::string_view text)
{
    int depth = 0;
    auto measureDepth = [&depth](int level, nlohmann::json::parse_event_t, nlohmann::json&) {
        depth = std::max(depth, level);
        return true;
    };
    auto parsed = nlohmann::json::parse(text, measureDepth, false);
    if (!parsed.is_object() || depth > maximumDepth)
        return std::nullopt;
    return parsed;
}

bool reportUnsaved(const std::string& reason)
{
    logLine("preferences not saved, the old file is kept: %s", reason.c_str());
    return false;
}

} // namespace

JsonPreferences::JsonPreferences(std::filesystem::path file)
    : m_file(std::move(file))
{
}

std::filesystem::path JsonPreferences::defaultPath()
{
    return userConfigDirectory() / "zelnamenu" / "preferences.json";
}

const JsonPreferences::Snapshot& JsonPreferences::current()
{
    if (!m_isInMemoryOnly && (!m_snapshot.identity || currentFileIdentity(m_file) != m_snapshot.identity))
        readSnapshot();
    return m_snapshot;
}

void JsonPreferences::readSnapshot()
{
    auto read = readRegularFile(m_file, maximumFileSize);
    Snapshot fresh;
    switch (read.outcome) {
    case FileRead::Outcome::missing:
        fresh.identity = FileIdentity {};
        break;
    case FileRead::Outcome::refused:
        keepInMemoryOnly(read.problem);
        return;
    case FileRead::Outcome::failed:
        // Read again at the next use: the reason may have gone.
        fresh.state = Snapshot::State::unreadable;
        fresh.error = std::move(read.problem);
        break;
    case FileRead::Outcome::read:
        if (auto parsed = parsedObject(read.contents)) {
            fresh.state = Snapshot::State::object;
            fresh.object = std::move(*parsed);
        } else {
            fresh.state = Snapshot::State::notAnObject;
            fresh.bytes = std::move(read.contents);
        }
        if (read.identity.isSettled())
            fresh.identity = read.identity;
        break;
    }
    m_snapshot = std::move(fresh);
}

void JsonPreferences::keepInMemoryOnly(const std::string& problem)
{
    logLine("%s; preferences are kept in memory for this run and the file is left as it is", problem.c_str());
    m_isInMemoryOnly = true;
    // What was read before carries on; otherwise the run starts from no keys.
    if (m_snapshot.state != Snapshot::State::object)
        m_snapshot = Snapshot {};
    m_snapshot.state = Snapshot::State::object;
}

std::optional<nlohmann::json> JsonPreferences::value(std::string_view key)
{
    const Snapshot& stored = current();
    if (stored.state != Snapshot::State::object)
        return std::nullopt;
    auto found = stored.object.find(key);
    if (found == stored.object.end())
        return std::nullopt;
    return *found;
}

bool JsonPreferences::setValue(std::string_view key, nlohmann::json value)
{
    const Snapshot& stored = current();
    if (m_isInMemoryOnly) {
        m_snapshot.object[std::string(key)] = std::move(value);
        return true;
    }
    // Other keys could not be carried over, so the file is left as it is.
    if (stored.state == Snapshot::State::unreadable)
        return reportUnsaved(stored.error);

    const auto folder = m_file.parent_path();
    if (!folder.empty() && g_mkdir_with_parents(folder.c_str(), 0700) != 0)
        return reportUnsaved("cannot create " + folder.string() + ": " + std::strerror(errno));

    // A hand edit gone wrong is set aside rather than lost.
    if (stored.state == Snapshot::State::notAnObject) {
        if (const auto setAside = replaceFileAtomically(m_file.string() + ".bad", stored.bytes); !setAside)
            return reportUnsaved(setAside.failure().message);
    }

    nlohmann::json object = stored.object;
    object[std::string(key)] = std::move(value);
    std::string text;
    try {
        text = object.dump(2) + "\n";
    } catch (const nlohmann::json::exception& exception) {
        return reportUnsaved(std::string("the value cannot be written as JSON: ") + exception.what());
    }
    if (const auto written = replaceFileAtomically(m_file, text); !written)
        return reportUnsaved(written.failure().message);

    // What was written is what the file holds: no need to read it back.
    Snapshot written;
    written.state = Snapshot::State::object;
    written.object = std::move(object);
    if (auto identity = currentFileIdentity(m_file); identity && identity->isSettled())
        written.identity = identity;
    m_snapshot = std::move(written);
    return true;
}

std::optional<std::vector<StoredArrayElement>> JsonPreferences::arrayForKey(std::string_view key)
{
    auto stored = value(key);
    if (!stored || !stored->is_array())
        return std::nullopt;
    std::vector<StoredArrayElement> elements;
    elements.reserve(stored->size());
    for (auto& element : *stored) {
        if (element.is_string())
            elements.emplace_back(element.get<std::string>());
        else
            elements.emplace_back(std::nullopt);
    }
    return elements;
}

void JsonPreferences::setObject(const std::vector<std::string>& array, std::string_view key)
{
    // A failure has been reported on stderr; the store's callers have nothing to do about it.
    setValue(key, nlohmann::json(array));
}
