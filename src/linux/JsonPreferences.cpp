#include "linux/JsonPreferences.h"

#include "linux/AtomicFile.h"
#include "linux/GOwned.h"
#include "linux/XdgBaseDirectories.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

/// Writing a value back recurses once per level, so a file nested deeper than any real
/// preferences would overflow the stack; it counts as unreadable instead.
constexpr int maximumDepth = 256;

struct StoredFile {
    enum class State { missing, object, notAnObject, unreadable };
    State state = State::missing;
    nlohmann::json object = nlohmann::json::object();
    std::string bytes;
    std::string error;
};

StoredFile readStoredFile(const std::filesystem::path& file)
{
    StoredFile stored;
    GUniqueOutPtr<GError> error;
    gchar* contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(file.c_str(), &contents, &length, &error.outPtr())) {
        if (!g_error_matches(error.get(), G_FILE_ERROR, G_FILE_ERROR_NOENT)) {
            stored.state = StoredFile::State::unreadable;
            stored.error = errorMessage(error.get());
        }
        return stored;
    }
    GUniquePtr<gchar> owned(contents);
    stored.bytes.assign(contents, length);

    int depth = 0;
    auto measureDepth = [&depth](int level, nlohmann::json::parse_event_t, nlohmann::json&) {
        depth = std::max(depth, level);
        return true;
    };
    auto parsed = nlohmann::json::parse(stored.bytes, measureDepth, false);
    if (parsed.is_object() && depth <= maximumDepth) {
        stored.state = StoredFile::State::object;
        stored.object = std::move(parsed);
    } else {
        stored.state = StoredFile::State::notAnObject;
    }
    return stored;
}

bool reportUnsaved(const std::string& reason)
{
    std::fprintf(stderr, "zelnamenu: preferences not saved, the old file is kept: %s\n", reason.c_str());
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

std::optional<nlohmann::json> JsonPreferences::value(std::string_view key) const
{
    auto stored = readStoredFile(m_file);
    if (stored.state != StoredFile::State::object)
        return std::nullopt;
    auto found = stored.object.find(key);
    if (found == stored.object.end())
        return std::nullopt;
    return std::move(*found);
}

bool JsonPreferences::setValue(std::string_view key, nlohmann::json value)
{
    const auto folder = m_file.parent_path();
    if (!folder.empty() && g_mkdir_with_parents(folder.c_str(), 0700) != 0)
        return reportUnsaved("cannot create " + folder.string() + ": " + std::strerror(errno));

    auto stored = readStoredFile(m_file);
    // Other keys could not be carried over, so the file is left as it is.
    if (stored.state == StoredFile::State::unreadable)
        return reportUnsaved(stored.error);

    std::string error;
    // A hand edit gone wrong is set aside rather than lost.
    if (stored.state == StoredFile::State::notAnObject
        && !replaceFileAtomically(m_file.string() + ".bad", stored.bytes, error))
        return reportUnsaved(error);

    stored.object[std::string(key)] = std::move(value);
    std::string text;
    try {
        text = stored.object.dump(2) + "\n";
    } catch (const nlohmann::json::exception& exception) {
        return reportUnsaved(std::string("the value cannot be written as JSON: ") + exception.what());
    }
    if (!replaceFileAtomically(m_file, text, error))
        return reportUnsaved(error);
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
