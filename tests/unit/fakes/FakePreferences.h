#pragma once

#include "ports/Preferences.h"

#include <map>

class FakePreferences final : public Preferences {
public:
    using Array = std::vector<StoredArrayElement>;

    std::optional<Array> arrayForKey(std::string_view key) override
    {
        auto found = arrays.find(std::string(key));
        if (found == arrays.end())
            return std::nullopt;
        return found->second;
    }
    void setObject(const std::vector<std::string>& array, std::string_view key) override
    {
        ++writes;
        arrays[std::string(key)] = Array(array.begin(), array.end());
    }

    /// The stored strings; a non-string element shows as "<not a string>".
    std::vector<std::string> strings(const std::string& key) const
    {
        std::vector<std::string> result;
        for (const auto& element : arrays.at(key))
            result.push_back(element.value_or("<not a string>"));
        return result;
    }

    std::map<std::string, Array> arrays; ///< Keys whose value is not an array are simply absent.
    int writes = 0;
};
