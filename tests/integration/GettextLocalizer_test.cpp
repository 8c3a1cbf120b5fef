#include "linux/GettextLocalizer.h"
#include "support/TestServices.h"

#include <gtest/gtest.h>

#include <clocale>
#include <fstream>
#include <map>

using namespace zelna::test;

namespace {

const std::filesystem::path builtLocales = std::filesystem::path(ZELNA_BINARY_DIR) / "share/locale";
const std::vector<std::string> keys{"launch_at_login", "keyboard_shortcuts", "hotkey_none", "check_for_updates",
                                    "quit"};

/// Switches the process to a language the way a user's session does, for the life of the object.
class ScopedLanguage {
public:
    explicit ScopedLanguage(const std::string& language)
        : m_locale("LC_ALL", "C.UTF-8")
        , m_language("LANGUAGE", language)
    {
        // gettext caches translations per locale; setting it again drops the cache.
        std::setlocale(LC_ALL, "");
    }
    ~ScopedLanguage() { std::setlocale(LC_ALL, ""); }

private:
    ScopedEnvironment m_locale;
    ScopedEnvironment m_language;
};

std::map<std::string, std::string> allTexts(Localizer& localizer)
{
    std::map<std::string, std::string> texts;
    for (const auto& key : keys)
        texts[key] = localizer.localizedString(key);
    return texts;
}

} // namespace

TEST(GettextLocalizerTest, EnglishTextsWithoutACatalogue)
{
    ScopedLanguage english("en");
    GettextLocalizer localizer(builtLocales);
    EXPECT_EQ(allTexts(localizer), (std::map<std::string, std::string>{
                                       {"launch_at_login", "Launch at Login"},
                                       {"keyboard_shortcuts", "Keyboard Shortcuts"},
                                       {"hotkey_none", "None"},
                                       {"check_for_updates", "Check for Updates\u2026"},
                                       {"quit", "Quit ZelnaMenu"},
                                   }));
    EXPECT_EQ(localizer.localizedString("no_such_key"), "no_such_key");
    EXPECT_EQ(localizer.localizedString(""), "");
}

TEST(GettextLocalizerTest, GermanAndFrenchFromTheBuiltCatalogues)
{
    GettextLocalizer localizer(builtLocales);
    {
        ScopedLanguage german("de");
        EXPECT_EQ(localizer.localizedString("launch_at_login"), "Beim Anmelden starten");
        EXPECT_EQ(localizer.localizedString("keyboard_shortcuts"), "Tastenkürzel");
        EXPECT_EQ(localizer.localizedString("hotkey_none"), "Keiner");
        EXPECT_EQ(localizer.localizedString("check_for_updates"), "Nach Updates suchen\u2026");
        EXPECT_EQ(localizer.localizedString("quit"), "ZelnaMenu beenden");
        // An unknown key is never translated, even where its text happens to be a message id.
        EXPECT_EQ(localizer.localizedString("None"), "None");
    }
    {
        // A regional variant falls back to the language's catalogue.
        ScopedLanguage french("fr_CA");
        EXPECT_EQ(localizer.localizedString("keyboard_shortcuts"), "Raccourcis clavier");
        EXPECT_EQ(localizer.localizedString("quit"), "Quitter ZelnaMenu");
    }
}

TEST(GettextLocalizerTest, EveryCatalogueTranslatesEveryText)
{
    GettextLocalizer localizer(builtLocales);
    std::map<std::string, std::string> english;
    {
        ScopedLanguage englishLanguage("en");
        english = allTexts(localizer);
    }
    std::ifstream linguas(std::filesystem::path(ZELNA_SOURCE_DIR) / "data/po/LINGUAS");
    int languageCount = 0;
    for (std::string language; std::getline(linguas, language);) {
        if (language.empty() || language.front() == '#')
            continue;
        ++languageCount;
        ScopedLanguage scoped(language);
        const auto texts = allTexts(localizer);
        for (const auto& key : keys)
            EXPECT_NE(texts.at(key), english.at(key)) << language << " leaves " << key << " untranslated";
    }
    EXPECT_GE(languageCount, 2);
}
