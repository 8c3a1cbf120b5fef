#pragma once

#include "ports/Localizer.h"

#include <filesystem>

/// The application's texts through gettext, domain "zelnamenu". Each key stands for an English
/// message id; gettext translates that into the user's language (LANGUAGE, LC_ALL, LC_MESSAGES,
/// LANG) from the catalogues under the locale folder. The process must have called
/// setlocale(LC_ALL, "") for any language but English to show.
class GettextLocalizer final : public Localizer {
public:
    /// localeDirectory holds `<language>/LC_MESSAGES/zelnamenu.mo`.
    explicit GettextLocalizer(const std::filesystem::path& localeDirectory);

    std::string localizedString(std::string_view key) override;
};
