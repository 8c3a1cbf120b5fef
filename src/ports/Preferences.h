#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The user's preferences. Used on the main thread only; reads never write.

/// One element of a stored array: its text when the element is a string, nothing otherwise.
using StoredArrayElement = std::optional<std::string>;

class Preferences {
public:
    virtual ~Preferences() = default;
    /// The array stored under key, or nothing when the key is absent or its value is not an array.
    virtual std::optional<std::vector<StoredArrayElement>> arrayForKey(std::string_view key) = 0;
    /// Replaces the value under key by an array of strings. Failures are the adapter's to absorb:
    /// the old value stays whole.
    virtual void setObject(const std::vector<std::string>& array, std::string_view key) = 0;
};
