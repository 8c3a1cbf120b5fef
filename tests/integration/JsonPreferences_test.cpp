#include "linux/JsonPreferences.h"
#include "support/TestServices.h"

#include <gtest/gtest.h>

#include <csignal>
#include <set>

#include <sys/resource.h>

using namespace zelna::test;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view key = "hotkeyChannels";

std::set<std::string> filesIn(const fs::path& folder)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

class JsonPreferencesTest : public testing::Test {
protected:
    ScratchDirectory scratch;
    fs::path folder = fs::path(scratch.path()) / "zelnamenu";
    fs::path file = folder / "preferences.json";
    JsonPreferences preferences{file};
};

} // namespace

TEST_F(JsonPreferencesTest, ReadsArraysByTheStoreRuleWithoutWriting)
{
    EXPECT_FALSE(preferences.arrayForKey(key)) << "no file";
    EXPECT_FALSE(fs::exists(folder)) << "a read creates nothing";

    using Elements = std::vector<StoredArrayElement>;
    const std::vector<std::pair<std::string, std::optional<Elements>>> cases = {
        {"", std::nullopt},
        {"not json {", std::nullopt},
        {R"(["prime", "pulse"])", std::nullopt},
        {R"({"hotkeyChannels": "prime"})", std::nullopt},
        {R"({"hotkeyChannels": {"0": "prime"}})", std::nullopt},
        {R"({"other": ["prime"]})", std::nullopt},
        {R"({"hotkeyChannels": []})", Elements{}},
        {R"({"hotkeyChannels": ["aria"]})", Elements{"aria"}},
        {R"({"hotkeyChannels": ["prime", 3, null, ["x"], ""]})", Elements{"prime", {}, {}, {}, ""}},
        {R"({"hotkeyChannels": ["a", "b", "c", "d", "e", "f", "g"]})", Elements{"a", "b", "c", "d", "e", "f", "g"}},
        {"\xEF\xBB\xBF{\"hotkeyChannels\": [\"z\u00fcrich\"]}", Elements{"z\u00fcrich"}},
    };
    for (const auto& [contents, expected] : cases) {
        SCOPED_TRACE(contents);
        writeFile(file, contents);
        const auto before = fs::last_write_time(file);
        EXPECT_EQ(preferences.arrayForKey(key), expected);
        EXPECT_EQ(readFile(file), contents);
        EXPECT_EQ(fs::last_write_time(file), before);
        EXPECT_EQ(filesIn(folder), std::set<std::string>{"preferences.json"});
    }
}

TEST_F(JsonPreferencesTest, WritesReplaceOneKeyAndKeepTheOthers)
{
    writeFile(file, R"({"volume": 0.5, "hotkeyChannels": ["old"], "window": {"x": [1, 2]}, "name": "Zelna"})");
    preferences.setObject({"prime", "", "aria", "", ""}, key);

    EXPECT_EQ(preferences.arrayForKey(key), (std::vector<StoredArrayElement>{"prime", "", "aria", "", ""}));
    const auto stored = nlohmann::json::parse(readFile(file));
    EXPECT_EQ(stored["volume"], 0.5);
    EXPECT_EQ(stored["window"], nlohmann::json::parse(R"({"x": [1, 2]})"));
    EXPECT_EQ(stored["name"], "Zelna");
    EXPECT_EQ(filesIn(folder), std::set<std::string>{"preferences.json"}) << "no temporary file is left";

    EXPECT_TRUE(preferences.setValue("volume", 0.25));
    EXPECT_TRUE(preferences.setValue("window", {{"x", 3}}));
    EXPECT_EQ(preferences.value("volume"), nlohmann::json(0.25));
    EXPECT_EQ(preferences.value("window"), nlohmann::json({{"x", 3}}));
    EXPECT_EQ(preferences.value("name"), nlohmann::json("Zelna"));
    EXPECT_FALSE(preferences.value("missing"));
    EXPECT_EQ(preferences.arrayForKey(key)->size(), 5U);
}

TEST_F(JsonPreferencesTest, TheDefaultFileLivesInTheConfigFolderWhichAWriteCreates)
{
    {
        ScopedEnvironment configHome("XDG_CONFIG_HOME", scratch.path() + "/config/deeper");
        EXPECT_EQ(JsonPreferences::defaultPath(), fs::path(scratch.path()) / "config/deeper/zelnamenu/preferences.json");
        JsonPreferences fresh(JsonPreferences::defaultPath());
        fresh.setObject({"prime"}, key);
        EXPECT_EQ(fresh.arrayForKey(key), (std::vector<StoredArrayElement>{"prime"}));
        EXPECT_EQ(fs::status(fs::path(scratch.path()) / "config/deeper/zelnamenu").permissions() & fs::perms::all,
                  fs::perms::owner_all)
            << "a created config folder is private";
    }
    ScopedEnvironment home("HOME", scratch.path());
    for (const std::optional<std::string>& unusable : {std::optional<std::string>(), std::optional<std::string>("relative")}) {
        ScopedEnvironment configHome("XDG_CONFIG_HOME", unusable);
        EXPECT_EQ(JsonPreferences::defaultPath(), fs::path(scratch.path()) / ".config/zelnamenu/preferences.json");
    }
}

TEST_F(JsonPreferencesTest, AFileThatIsNoObjectIsKeptAsBadBeforeItIsReplaced)
{
    for (const std::string contents : {"{\"hotkeyChannels\": [\"pri", "[\"prime\"]", ""}) {
        SCOPED_TRACE(contents);
        fs::remove(folder.string() + "/preferences.json.bad");
        writeFile(file, contents);
        EXPECT_FALSE(preferences.arrayForKey(key));
        EXPECT_FALSE(fs::exists(folder / "preferences.json.bad")) << "reads never write";

        EXPECT_TRUE(preferences.setValue(key, {"aria"}));
        EXPECT_EQ(readFile(folder / "preferences.json.bad"), contents);
        EXPECT_EQ(preferences.arrayForKey(key), (std::vector<StoredArrayElement>{"aria"}));
        EXPECT_EQ(filesIn(folder), (std::set<std::string>{"preferences.json", "preferences.json.bad"}));
    }
}

TEST_F(JsonPreferencesTest, AnAbsurdlyNestedFileDoesNotCrashAWrite)
{
    // Carrying the other key over would recurse a hundred thousand levels deep.
    const std::string deep = "{\"deep\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
    writeFile(file, deep);
    EXPECT_FALSE(preferences.value("deep"));
    EXPECT_TRUE(preferences.setValue(key, {"prime"}));
    EXPECT_EQ(readFile(folder / "preferences.json.bad"), deep);
}

TEST_F(JsonPreferencesTest, ACrashBeforeTheRenameLeavesTheOldFileReadable)
{
    const std::string old = R"({"hotkeyChannels": ["prime", "pulse"]})";
    writeFile(file, old);

    // The write dies of its file-size limit halfway through its temporary file.
    const auto crash = runInForkedChild([&] {
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        preferences.setValue("padding", std::string(100000, 'x'));
        return 0;
    });
    EXPECT_EQ(crash.status, 128 + SIGXFSZ);

    EXPECT_EQ(readFile(file), old);
    EXPECT_EQ(preferences.arrayForKey(key), (std::vector<StoredArrayElement>{"prime", "pulse"}));
    EXPECT_EQ(filesIn(folder).size(), 2U) << "the torn temporary file is all the crash left";
    EXPECT_TRUE(preferences.setValue(key, {"aria"}));
    EXPECT_EQ(preferences.arrayForKey(key), (std::vector<StoredArrayElement>{"aria"}));
}

TEST_F(JsonPreferencesTest, AFailedWriteKeepsTheOldFileWholeAndSaysWhyOnce)
{
    const std::string old = R"({"hotkeyChannels": ["prime"], "volume": 1})";
    writeFile(file, old);
    auto expectUnchanged = [&](const ForkedResult& result) {
        EXPECT_EQ(result.status, 0) << result.standardError;
        EXPECT_EQ(std::count(result.standardError.begin(), result.standardError.end(), '\n'), 1)
            << result.standardError;
        EXPECT_EQ(readFile(file), old);
        EXPECT_EQ(filesIn(folder), std::set<std::string>{"preferences.json"});
    };

    {
        SCOPED_TRACE("full disk");
        expectUnchanged(runInForkedChild([&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{4096, 4096};
            setrlimit(RLIMIT_FSIZE, &limit);
            return preferences.setValue("padding", std::string(100000, 'x')) ? 1 : 0;
        }));
    }
    {
        SCOPED_TRACE("read-only folder");
        fs::permissions(scratch.path(), fs::perms::owner_all | fs::perms::others_exec);
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read
                            | fs::perms::others_exec);
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
        expectUnchanged(runInForkedChild([&] {
            if (!dropRootPrivileges())
                return 90;
            preferences.setObject({"aria"}, key);
            return preferences.arrayForKey(key) == std::vector<StoredArrayElement>{"prime"} ? 0 : 1;
        }));
        fs::permissions(folder, fs::perms::owner_all);
    }
    {
        SCOPED_TRACE("not UTF-8");
        expectUnchanged(runInForkedChild([&] { return preferences.setValue("name", "\xff\xfe") ? 1 : 0; }));
    }
}
