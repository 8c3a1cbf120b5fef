#pragma once

#include <string>
#include <string_view>

// The application's localised texts. Used on the main thread only.

class Localizer {
public:
    virtual ~Localizer() = default;
    /// The text for key in the user's language; the key itself when there is none.
    virtual std::string localizedString(std::string_view key) = 0;
};
