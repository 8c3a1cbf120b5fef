#include "linux/GettextLocalizer.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <clocale>
#include <fstream>
#include <map>

using namespace zelna::test;

namespace {

/// Looks up every text with the process switched to a language the way a user's session does.
std::map<std::string, std::string> textsIn(const std::string& language)
{
    ScopedEnvironment locale("LC_ALL", "C.UTF-8");
    ScopedEnvironment languages("LANGUAGE", language);
    // gettext caches translations per locale; setting it again drops the cache.
    std::setlocale(LC_ALL, "");
    GettextLocalizer localizer(std::filesystem::path(ZELNA_BINARY_DIR) / "share/locale");
    std::map<std::string, std::string> texts;
    // An unknown key is never translated, even where its text happens to be a message id.
    for (const char* key : { "launch_at_login", "keyboard_shortcuts", "hotkey_none", "check_for_updates", "quit",
             "no_such_key", "None", "" })
        texts[key] = localizer.localizedString(key);
    std::setlocale(LC_ALL, "");
    return texts;
}

} // namespace

TEST(GettextLocalizerTest, EnglishWithoutACatalogueAndEveryCatalogueTranslatesEveryText)
{
    const auto english = textsIn("en");
    EXPECT_EQ(english,
        (std::map<std::string, std::string> { { "launch_at_login", "Launch at Login" },
            { "keyboard_shortcuts", "Keyboard Shortcuts" }, { "hotkey_none", "None" },
            { "check_for_updates", "Check for Updates\u2026" }, { "quit", "Quit ZelnaMenu" },
            { "no_such_key", "no_such_key" }, { "None", "None" }, { "", "" } }));

    std::ifstream linguas(std::filesystem::path(ZELNA_SOURCE_DIR) / "data/po/LINGUAS");
    int languageCount = 0;
    for (std::string language; std::getline(linguas, language);) {
        if (language.empty() || language.front() == '#')
            continue;
        ++languageCount;
        const auto texts = textsIn(language);
        for (const auto& [key, text] : english)
            EXPECT_EQ(texts.at(key) == text, key.empty() || key == "no_such_key" || key == "None")
                << language << ": " << key << " -> " << texts.at(key);
    }
    EXPECT_GE(languageCount, 2);

    EXPECT_EQ(textsIn("de").at("keyboard_shortcuts"), "Tastenkürzel");
    // A regional variant falls back to the language's catalogue.
    EXPECT_EQ(textsIn("fr_CA").at("quit"), "Quitter ZelnaMenu");
}
