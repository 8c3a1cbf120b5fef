#include "linux/XdgAutostart.h"
#include "support/Harness.h"

#include <gio/gdesktopappinfo.h>
#include <gtest/gtest.h>

using namespace zelna::test;
namespace fs = std::filesystem;

namespace {

constexpr const char* entryName = "org.zelna.ZelnaMenu.desktop";

std::string entry(const std::string& extraLines = "")
{
    return "[Desktop Entry]\nType=Application\nName=ZelnaMenu\nExec=/usr/bin/zelnamenu\n" + extraLines;
}

/// Whether desktop-file-validate accepts the file without so much as a hint.
bool isValid(const fs::path& file)
{
    ChildProcess validator({"desktop-file-validate", file.string()}, {}, true);
    return !validator.readLine() && validator.wait(std::chrono::seconds(10)) == 0;
}

class XdgAutostartTest : public testing::Test {
protected:
    SMAppServiceStatus status() { return autostart.mainAppService()->status(); }
    bool registerEntry() { return autostart.mainAppService()->registerAndReturnError(&error); }
    bool unregisterEntry() { return autostart.mainAppService()->unregisterAndReturnError(&error); }

    ScratchDirectory scratch;
    fs::path configHome = fs::path(scratch.path()) / "home-config";
    fs::path systemFirst = fs::path(scratch.path()) / "xdg-first";
    fs::path systemSecond = fs::path(scratch.path()) / "xdg-second";
    fs::path userEntry = configHome / "autostart" / entryName;
    ScopedEnvironment configHomeVariable{"XDG_CONFIG_HOME", configHome.string()};
    ScopedEnvironment configDirsVariable{"XDG_CONFIG_DIRS",
                                         systemFirst.string() + ":relative/ignored:" + systemSecond.string()};
    XdgAutostart autostart{"/usr/bin/zelnamenu"};
    std::string error;
};

} // namespace

TEST_F(XdgAutostartTest, RegisterWritesAValidUserEntryAndUnregisterRemovesIt)
{
    EXPECT_EQ(status(), SMAppServiceStatus::notRegistered);
    ASSERT_TRUE(registerEntry()) << error;
    ASSERT_TRUE(registerEntry()) << "registering twice is harmless";
    EXPECT_EQ(status(), SMAppServiceStatus::enabled);
    EXPECT_TRUE(isValid(userEntry));
    EXPECT_EQ(std::distance(fs::directory_iterator(configHome / "autostart"), fs::directory_iterator()), 1)
        << "no temporary file is left";

    ASSERT_TRUE(unregisterEntry()) << error;
    EXPECT_EQ(status(), SMAppServiceStatus::notRegistered);
    EXPECT_FALSE(fs::exists(userEntry));
    EXPECT_TRUE(unregisterEntry()) << "unregistering twice is harmless";
}

TEST_F(XdgAutostartTest, TheEffectiveEntryDecidesTheStatus)
{
    for (const std::string& disabled : {entry("Hidden=true\n"), entry("X-GNOME-Autostart-enabled=false\n"),
                                        std::string("not a desktop entry")}) {
        writeFile(userEntry, disabled);
        EXPECT_EQ(status(), SMAppServiceStatus::notRegistered) << disabled;
    }
    fs::remove(userEntry);

    writeFile(systemSecond / "autostart" / entryName, entry());
    EXPECT_EQ(status(), SMAppServiceStatus::enabled) << "a system entry starts the program too";
    writeFile(systemFirst / "autostart" / entryName, entry("Hidden=true\n"));
    EXPECT_EQ(status(), SMAppServiceStatus::notRegistered) << "the first system folder wins";
    writeFile(userEntry, entry());
    EXPECT_EQ(status(), SMAppServiceStatus::enabled) << "the user's entry overrides the system's";
}

TEST_F(XdgAutostartTest, UnregisterMasksASystemEntryThatWouldStillStartTheProgram)
{
    const auto systemEntry = systemSecond / "autostart" / entryName;
    writeFile(systemEntry, entry());
    ASSERT_TRUE(unregisterEntry()) << error;
    EXPECT_EQ(status(), SMAppServiceStatus::notRegistered);
    EXPECT_EQ(readFile(systemEntry), entry()) << "the system's entry is not touched";
    EXPECT_TRUE(isValid(userEntry));

    ASSERT_TRUE(registerEntry()) << error;
    EXPECT_EQ(status(), SMAppServiceStatus::enabled) << "registering lifts the mask";

    writeFile(systemEntry, entry("Hidden=true\n"));
    ASSERT_TRUE(unregisterEntry());
    EXPECT_FALSE(fs::exists(userEntry)) << "a hidden system entry starts nothing: nothing to mask";
}

TEST_F(XdgAutostartTest, AwkwardPathsRoundTripThroughARealDesktopEntryParser)
{
    const auto argvFile = fs::path(scratch.path()) / "argv";
    ScopedEnvironment argvVariable("ZELNA_ARGV_FILE", argvFile.string());
    for (const char* folderName : {"Zelna \"Menu\" $HOME it's back\\slash `x` a;b", "100% Zelna"}) {
        SCOPED_TRACE(folderName);
        const auto executable = fs::path(scratch.path()) / folderName / "zelna menu";
        writeFile(executable, "#!/bin/sh\nprintf '%s\\n%s\\n' \"$0\" \"$#\" > \"$ZELNA_ARGV_FILE.part\"\n"
                              "mv \"$ZELNA_ARGV_FILE.part\" \"$ZELNA_ARGV_FILE\"\n");
        fs::permissions(executable, fs::perms::owner_all);
        fs::remove(argvFile);

        ASSERT_TRUE(XdgAutostart(executable).mainAppService()->registerAndReturnError(&error)) << error;
        EXPECT_TRUE(isValid(userEntry)) << readFile(userEntry);
        // GLib checks Exec and TryExec while loading: a badly escaped one loses the whole entry.
        auto info = GRefPtr<GDesktopAppInfo>::adopt(g_desktop_app_info_new_from_filename(userEntry.c_str()));
        ASSERT_TRUE(info) << readFile(userEntry);
        ASSERT_TRUE(g_app_info_launch(G_APP_INFO(info.get()), nullptr, nullptr, nullptr));
        ASSERT_TRUE(runMainLoopUntil([&] { return fs::exists(argvFile); })) << readFile(userEntry);
        EXPECT_EQ(readFile(argvFile), executable.string() + "\n0\n") << readFile(userEntry);
    }
}

TEST_F(XdgAutostartTest, FailuresAreReportedAndChangeNothing)
{
    EXPECT_EQ(XdgAutostart(fs::path()).mainAppService()->status(), SMAppServiceStatus::notFound);
    EXPECT_FALSE(XdgAutostart(fs::path()).mainAppService()->registerAndReturnError(&error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(XdgAutostart("/opt/zelna\xff/zelnamenu").mainAppService()->registerAndReturnError(nullptr));
    EXPECT_FALSE(fs::exists(userEntry));

    writeFile(userEntry, entry("Hidden=true\n"));
    const auto result = runInForkedChild([&] {
        // A read-only autostart folder; root writes anywhere, so the write runs as nobody.
        fs::permissions(scratch.path(), fs::perms::others_exec, fs::perm_options::add);
        fs::permissions(configHome, fs::perms::others_exec, fs::perm_options::add);
        fs::permissions(configHome / "autostart", fs::perms::owner_read | fs::perms::owner_exec
                            | fs::perms::others_read | fs::perms::others_exec);
        fs::permissions(userEntry, fs::perms::others_read, fs::perm_options::add);
        if (!dropRootPrivileges())
            return 90;
        auto service = autostart.mainAppService();
        // The core passes no error pointer: the failure is dropped with one line on stderr.
        if (service->registerAndReturnError(nullptr) || service->unregisterAndReturnError(nullptr))
            return 1;
        return service->status() == SMAppServiceStatus::notRegistered ? 0 : 2;
    });
    EXPECT_EQ(result.status, 0) << result.standardError;
    EXPECT_EQ(std::count(result.standardError.begin(), result.standardError.end(), '\n'), 2) << result.standardError;
    EXPECT_EQ(readFile(userEntry), entry("Hidden=true\n"));
}
