#pragma once

#include "linux/support/RegularFile.h"
#include "ports/Preferences.h"

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

/// The preferences as one JSON object in a file of the user's config folder. The parsed file is
/// kept and reused while the file's identity (device, inode, size, time) holds, so a hand edit is
/// seen at the next use while unchanged files are not read again. Reads never write; every write
/// replaces the whole file atomically and keeps the keys it did not change. A file that is not a
/// JSON object reads as having no keys and is kept beside it as "<name>.bad" before a write
/// replaces it. Something at the path that is not a regular file, or a file over 1 MiB, is
/// refused with one line on stderr: from then on, for the rest of the run, the preferences live in
/// memory only and the path is never written.
class JsonPreferences final : public Preferences {
public:
    explicit JsonPreferences(std::filesystem::path file);

    /// $XDG_CONFIG_HOME/zelnamenu/preferences.json (~/.config when unset), read at each call.
    static std::filesystem::path defaultPath();

    const std::filesystem::path& file() const { return m_file; }

    /// The value under key, or nothing when the file has no such key (or is missing or unreadable).
    std::optional<nlohmann::json> value(std::string_view key);
    /// Stores value under key, creating the folder when missing. False when the file could not be
    /// replaced, with one line on stderr; the old file is then left whole. After a refusal the
    /// value is kept in memory for the run, which is all that is promised then: true.
    bool setValue(std::string_view key, nlohmann::json value);

    std::optional<std::vector<StoredArrayElement>> arrayForKey(std::string_view key) override;
    void setObject(const std::vector<std::string>& array, std::string_view key) override;

private:
    struct Snapshot {
        enum class State { missing, object, notAnObject, unreadable };
        State state = State::missing;
        nlohmann::json object = nlohmann::json::object();
        std::string bytes; ///< What a notAnObject file holds, to be set aside before a write.
        std::string error; ///< Why an unreadable file could not be read.
        /// The file's identity when it was read; nothing when it must be read again before use.
        std::optional<FileIdentity> identity;
    };

    /// The file as it is now: the kept snapshot while the file is unchanged, else read afresh.
    const Snapshot& current();
    void readSnapshot();
    void keepInMemoryOnly(const std::string& problem);

    std::filesystem::path m_file;
    Snapshot m_snapshot;
    bool m_isInMemoryOnly = false;
};
