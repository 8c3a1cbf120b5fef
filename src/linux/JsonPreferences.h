#pragma once

#include "ports/Preferences.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string_view>

/// The preferences as one JSON object in a file of the user's config folder. Every read takes the
/// file afresh and never writes; every write replaces the whole file atomically and keeps the keys
/// it did not change. A file that is not a JSON object reads as having no keys and is kept beside
/// it as "<name>.bad" before a write replaces it.
class JsonPreferences final : public Preferences {
public:
    explicit JsonPreferences(std::filesystem::path file);

    /// $XDG_CONFIG_HOME/zelnamenu/preferences.json (~/.config when unset), read at each call.
    static std::filesystem::path defaultPath();

    const std::filesystem::path& file() const { return m_file; }

    /// The value under key, or nothing when the file has no such key (or is missing or unreadable).
    std::optional<nlohmann::json> value(std::string_view key) const;
    /// Stores value under key, creating the folder when missing. False when the file could not be
    /// replaced, with one line on stderr; the old file is then left whole.
    bool setValue(std::string_view key, nlohmann::json value);

    std::optional<std::vector<StoredArrayElement>> arrayForKey(std::string_view key) override;
    void setObject(const std::vector<std::string>& array, std::string_view key) override;

private:
    std::filesystem::path m_file;
};
