#include "linux/JsonPreferences.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <set>

#include <sys/resource.h>

using namespace zelna::test;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view key = "hotkeyChannels";
using Elements = std::vector<StoredArrayElement>;

std::set<std::string> filesIn(const fs::path& folder)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

/// What a full disk does to a write: a file-size limit, which kills the process unless ignored.
void limitFileSize()
{
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
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

    const std::vector<std::pair<std::string, std::optional<Elements>>> cases = {
        {"not json {", std::nullopt},
        {R"(["prime", "pulse"])", std::nullopt},
        {R"({"hotkeyChannels": "prime"})", std::nullopt},
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
        EXPECT_EQ(fs::last_write_time(file), before);
        EXPECT_EQ(filesIn(folder), std::set<std::string>{"preferences.json"});
    }
}

TEST_F(JsonPreferencesTest, WritesReplaceOneKeyAndKeepTheOthers)
{
    writeFile(file, R"({"volume": 0.5, "hotkeyChannels": ["old"], "window": {"x": [1, 2]}})");
    preferences.setObject({"prime", "", "aria", "", ""}, key);
    EXPECT_TRUE(preferences.setValue("volume", 0.25));

    EXPECT_EQ(preferences.arrayForKey(key), (Elements{"prime", "", "aria", "", ""}));
    EXPECT_EQ(nlohmann::json::parse(readFile(file))["window"], nlohmann::json::parse(R"({"x": [1, 2]})"));
    EXPECT_EQ(preferences.value("volume"), nlohmann::json(0.25));
    EXPECT_FALSE(preferences.value("missing"));
    EXPECT_EQ(filesIn(folder), std::set<std::string>{"preferences.json"}) << "no temporary file is left";
}

TEST_F(JsonPreferencesTest, TheDefaultFileLivesInTheConfigFolderWhichAWriteCreates)
{
    ScopedEnvironment home("HOME", scratch.path());
    ScopedEnvironment relative("XDG_CONFIG_HOME", "relative");
    EXPECT_EQ(JsonPreferences::defaultPath(), fs::path(scratch.path()) / ".config/zelnamenu/preferences.json")
        << "a relative XDG_CONFIG_HOME is ignored";

    ScopedEnvironment configHome("XDG_CONFIG_HOME", scratch.path() + "/config");
    JsonPreferences fresh(JsonPreferences::defaultPath());
    fresh.setObject({"prime"}, key);
    EXPECT_EQ(fresh.arrayForKey(key), Elements{"prime"});
    EXPECT_EQ(fs::status(fs::path(scratch.path()) / "config/zelnamenu").permissions() & fs::perms::all,
              fs::perms::owner_all)
        << "a created config folder is private";
}

TEST_F(JsonPreferencesTest, AFileThatIsNoObjectIsKeptAsBadBeforeItIsReplaced)
{
    // The last would recurse a hundred thousand levels deep if the write carried it over.
    const std::string deep = "{\"deep\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
    for (const std::string& contents : {std::string("{\"hotkeyChannels\": [\"pri"), std::string(""), deep}) {
        SCOPED_TRACE(contents.substr(0, 30));
        writeFile(file, contents);
        EXPECT_FALSE(preferences.arrayForKey(key));
        EXPECT_FALSE(fs::exists(folder / "preferences.json.bad")) << "reads never write";

        EXPECT_TRUE(preferences.setValue(key, {"aria"}));
        EXPECT_EQ(readFile(folder / "preferences.json.bad"), contents);
        EXPECT_EQ(preferences.arrayForKey(key), Elements{"aria"});
        fs::remove(folder / "preferences.json.bad");
    }
}

TEST_F(JsonPreferencesTest, AWriteThatCrashesOrFailsLeavesTheOldFileWhole)
{
    std::string old = R"({"hotkeyChannels": ["prime"], "volume": 1})";
    writeFile(file, old);

    // The write dies halfway through its temporary file.
    const auto crash = runInForkedChild([&] {
        limitFileSize();
        preferences.setValue("padding", std::string(100000, 'x'));
        return 0;
    });
    EXPECT_EQ(crash.status, 128 + SIGXFSZ);
    EXPECT_EQ(readFile(file), old);
    EXPECT_EQ(filesIn(folder).size(), 2U) << "the torn temporary file is all the crash left";
    EXPECT_TRUE(preferences.setValue(key, {"prime"})) << "and it does not block the next write";
    old = readFile(file);

    // Each returns 0 when its write failed; a failure must say why in one line.
    const std::vector<std::pair<const char*, std::function<int()>>> failures = {
        {"full disk",
         [&] {
             std::signal(SIGXFSZ, SIG_IGN);
             limitFileSize();
             return preferences.setValue("padding", std::string(100000, 'x')) ? 1 : 0;
         }},
        {"not UTF-8", [&] { return preferences.setValue("name", "\xff\xfe") ? 1 : 0; }},
        {"read-only folder",
         [&] {
             // Root writes anywhere, so the write runs as nobody.
             fs::permissions(scratch.path(), fs::perms::others_exec, fs::perm_options::add);
             fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read
                                 | fs::perms::others_exec);
             fs::permissions(file, fs::perms::others_read, fs::perm_options::add);
             if (!dropRootPrivileges())
                 return 90;
             preferences.setObject({"aria"}, key);
             return preferences.arrayForKey(key) == Elements{"prime"} ? 0 : 1;
         }},
    };
    const auto files = filesIn(folder);
    for (const auto& [name, body] : failures) {
        SCOPED_TRACE(name);
        const auto result = runInForkedChild(body);
        EXPECT_EQ(result.status, 0) << result.standardError;
        EXPECT_EQ(std::count(result.standardError.begin(), result.standardError.end(), '\n'), 1)
            << result.standardError;
        EXPECT_EQ(readFile(file), old);
        EXPECT_EQ(filesIn(folder), files);
    }
}
