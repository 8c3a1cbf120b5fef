// JsonPreferences on files in a scratch folder.

#include "linux/JsonPreferences.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

using namespace zelna::test;
namespace fs = std::filesystem;

namespace {

using Elements = std::vector<StoredArrayElement>;

class JsonPreferencesTest : public testing::Test {
protected:
    /// How many files the folder holds: a write leaves no temporary file behind, a read no file at all.
    long files() { return std::distance(fs::directory_iterator(folder), {}); }

    ScratchDirectory scratch;
    fs::path folder = scratch.path / "zelnamenu", file = folder / "preferences.json";
    JsonPreferences preferences { file };
};

} // namespace

TEST_F(JsonPreferencesTest, ReadsByTheStoreRuleKeepsOtherKeysAndBadFilesAndNeverLeavesATornOne)
{
    EXPECT_FALSE(preferences.arrayForKey("hotkeyChannels") || fs::exists(folder)) << "no file, and none made";
    preferences.setObject({ "prime" }, "hotkeyChannels");
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << "a folder it makes is private";
    for (const auto& [contents, expected] : std::vector<std::pair<std::string, std::optional<Elements>>> {
             { "not json {", std::nullopt }, { R"(["prime", "pulse"])", std::nullopt },
             { R"({"hotkeyChannels": "prime"})", std::nullopt },
             { R"({"hotkeyChannels": ["aria"]})", Elements { "aria" } },
             { R"({"hotkeyChannels": ["prime", 3, null, ["x"], ""]})", Elements { "prime", {}, {}, {}, "" } },
             { "\xEF\xBB\xBF{\"hotkeyChannels\": [\"z\u00fcrich\"]}", Elements { "z\u00fcrich" } } }) {
        writeFile(file, contents);
        EXPECT_EQ(preferences.arrayForKey("hotkeyChannels"), expected) << contents;
        EXPECT_EQ(readFile(file), contents);
        EXPECT_EQ(files(), 1);
    }
    writeFile(file, R"({"volume": 0.5, "hotkeyChannels": ["old"], "window": {"x": [1, 2]}})");
    preferences.setObject({ "prime", "", "aria", "", "" }, "hotkeyChannels");
    EXPECT_EQ(nlohmann::json::parse(readFile(file)),
        nlohmann::json::parse(R"({"volume": 0.5, "hotkeyChannels": ["prime", "", "aria", "", ""],
                                   "window": {"x": [1, 2]}})"));
    EXPECT_EQ(files(), 1);
    // The last would recurse a hundred thousand levels deep if the write carried it over.
    for (const std::string& contents : { std::string("{\"hotkeyChannels\": [\"pri"), std::string(""),
             "{\"deep\": " + std::string(100000, '[') + std::string(100000, ']') + "}" }) {
        writeFile(file, contents);
        EXPECT_FALSE(preferences.arrayForKey("hotkeyChannels"));
        EXPECT_TRUE(preferences.setValue("hotkeyChannels", { "aria" }));
        EXPECT_EQ(readFile(folder / "preferences.json.bad"), contents);
        EXPECT_EQ(preferences.arrayForKey("hotkeyChannels"), Elements { "aria" });
    }
    const std::string old = R"({"hotkeyChannels": ["prime"], "volume": 1})";
    writeFile(file, old);
    fs::remove(folder / "preferences.json.bad");
    // A file-size limit whose signal is ignored fails a write past 4 KiB as a full disk does.
    rlimit saved {}, fullDisk { 4096, RLIM_INFINITY };
    getrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_IGN);
    for (const auto& [key, value] : { std::pair<std::string, std::string> { "padding", std::string(100000, 'x') },
             { "name", "\xff" } }) {
        testing::internal::CaptureStderr();
        setrlimit(RLIMIT_FSIZE, key == "padding" ? &fullDisk : &saved);
        EXPECT_FALSE(preferences.setValue(key, value)) << key;
        setrlimit(RLIMIT_FSIZE, &saved);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_EQ(readFile(file), old);
        EXPECT_EQ(files(), 1);
    }
    preferences.setObject({ "aria" }, "hotkeyChannels");
    EXPECT_EQ(preferences.arrayForKey("hotkeyChannels"), Elements { "aria" }) << "and the next write succeeds";
}

TEST_F(JsonPreferencesTest, AnUnchangedFileIsReadOnceEveryEditIsSeenAndADanglingLinkStaysALink)
{
    // Each edit keeps the inode and size and gets the time of the one before: a time long past lets
    // the kept snapshot stand, one in the current tick of the file clock (or later) is read again.
    const auto now = fs::file_time_type::clock::now();
    for (const auto& [time, isReused] : { std::pair(now - 1h, true), std::pair(now + 1s, false) }) {
        writeFile(file, R"({"hotkeyChannels": ["aria"]})");
        fs::last_write_time(file, time);
        EXPECT_EQ(preferences.arrayForKey("hotkeyChannels"), Elements { "aria" });
        writeFile(file, R"({"hotkeyChannels": ["xxxx"]})");
        fs::last_write_time(file, time);
        EXPECT_EQ(preferences.arrayForKey("hotkeyChannels"), isReused ? Elements { "aria" } : Elements { "xxxx" });
    }
    // Dotfile managers link config files, sometimes before the target exists.
    fs::remove(file);
    fs::create_symlink("../dotfiles/zelna.json", file);
    fs::create_directories(scratch.path / "dotfiles");
    preferences.setObject({ "aria" }, "hotkeyChannels");
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(readFile(scratch.path / "dotfiles/zelna.json"), readFile(file));
    EXPECT_NE(readFile(file).find("aria"), std::string::npos);
}
