#include "linux/XdgAutostart.h"
#include "support/TestServices.h"

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

class XdgAutostartTest : public testing::Test {
protected:
    SMAppServiceStatus status() { return autostart.mainAppService()->status(); }
    bool registerEntry() { return autostart.mainAppService()->registerAndReturnError(&error); }
    bool unregisterEntry() { return autostart.mainAppService()->unregisterAndReturnError(&error); }
    std::string validate(const fs::path& file)
    {
        ChildProcess validator({"sh", "-c", "desktop-file-validate \"$0\" 2>&1; echo status $?", file.string()}, {},
                               true);
        std::string output;
        while (auto line = validator.readLine())
            output += *line + "\n";
        return output;
    }

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

TEST(DesktopExecArgumentTest, QuotesAndEscapesByTheDesktopEntryRules)
{
    EXPECT_EQ(desktopExecArgument("/usr/bin/zelnamenu"), "/usr/bin/zelnamenu");
    EXPECT_EQ(desktopExecArgument("/opt/Zelna Menu/zelna"), "\"/opt/Zelna Menu/zelna\"");
    EXPECT_EQ(desktopExecArgument("/opt/zelna$menu"), "\"/opt/zelna\\$menu\"");
    EXPECT_EQ(desktopExecArgument("/opt/100%/zelna"), "/opt/100%%/zelna") << "a percent sign alone needs no quotes";
    EXPECT_EQ(desktopExecArgument("/opt/a \"b\" `c` \\d"), "\"/opt/a \\\"b\\\" \\`c\\` \\\\d\"");
    EXPECT_EQ(desktopExecArgument("/opt/it's"), "\"/opt/it's\"") << "a single quote is reserved, not escaped";
    EXPECT_EQ(desktopExecArgument("/opt/a;b|c&d"), "\"/opt/a;b|c&d\"");
}

TEST_F(XdgAutostartTest, RegisterWritesTheUserEntryAndUnregisterRemovesIt)
{
    EXPECT_EQ(status(), SMAppServiceStatus::notRegistered);
    ASSERT_TRUE(registerEntry()) << error;
    EXPECT_EQ(status(), SMAppServiceStatus::enabled);

    EXPECT_EQ(readFile(userEntry), "[Desktop Entry]\nType=Application\nName=ZelnaMenu\nExec=/usr/bin/zelnamenu\n"
                                   "TryExec=/usr/bin/zelnamenu\nTerminal=false\n");
    EXPECT_EQ(validate(userEntry), "status 0\n");
    EXPECT_EQ(fs::status(configHome / "autostart").permissions() & fs::perms::all, fs::perms::owner_all);

    ASSERT_TRUE(registerEntry()) << "registering twice is harmless";
    EXPECT_EQ(std::distance(fs::directory_iterator(configHome / "autostart"), fs::directory_iterator()), 1)
        << "no temporary file is left";

    ASSERT_TRUE(unregisterEntry()) << error;
    EXPECT_EQ(status(), SMAppServiceStatus::notRegistered);
    EXPECT_FALSE(fs::exists(userEntry));
    EXPECT_TRUE(unregisterEntry()) << "unregistering twice is harmless";
}

TEST_F(XdgAutostartTest, TheEffectiveEntryDecidesTheStatus)
{
    const std::vector<std::pair<std::string, SMAppServiceStatus>> userEntries = {
        {entry(), SMAppServiceStatus::enabled},
        {entry("X-GNOME-Autostart-enabled=true\n"), SMAppServiceStatus::enabled},
        {entry("Hidden=false\n"), SMAppServiceStatus::enabled},
        {entry("Hidden=true\n"), SMAppServiceStatus::notRegistered},
        {entry("X-GNOME-Autostart-enabled=false\n"), SMAppServiceStatus::notRegistered},
        {entry("X-GNOME-Autostart-enabled=nonsense\n"), SMAppServiceStatus::notRegistered},
        {"not a desktop entry", SMAppServiceStatus::notRegistered},
        {"[Other Group]\nHidden=false\n", SMAppServiceStatus::notRegistered},
    };
    for (const auto& [contents, expected] : userEntries) {
        SCOPED_TRACE(contents);
        writeFile(userEntry, contents);
        EXPECT_EQ(status(), expected);
    }
    fs::remove(userEntry);

    writeFile(systemSecond / "autostart" / entryName, entry());
    EXPECT_EQ(status(), SMAppServiceStatus::enabled) << "a system entry starts the program too";
    writeFile(systemFirst / "autostart" / entryName, entry("Hidden=true\n"));
    EXPECT_EQ(status(), SMAppServiceStatus::notRegistered) << "the first system folder wins";
    writeFile(userEntry, entry());
    EXPECT_EQ(status(), SMAppServiceStatus::enabled) << "the user's entry overrides the system's";

    ScopedEnvironment defaultDirs("XDG_CONFIG_DIRS", std::nullopt);
    fs::remove(userEntry);
    EXPECT_EQ(status(), fs::exists(fs::path("/etc/xdg/autostart") / entryName) ? SMAppServiceStatus::enabled
                                                                              : SMAppServiceStatus::notRegistered);
}

TEST_F(XdgAutostartTest, UnregisterMasksASystemEntryThatWouldStillStartTheProgram)
{
    const auto systemEntry = systemSecond / "autostart" / entryName;
    writeFile(systemEntry, entry());
    ASSERT_EQ(status(), SMAppServiceStatus::enabled);

    ASSERT_TRUE(unregisterEntry()) << error;
    EXPECT_EQ(status(), SMAppServiceStatus::notRegistered);
    EXPECT_NE(readFile(userEntry).find("Hidden=true"), std::string::npos);
    EXPECT_EQ(readFile(systemEntry), entry()) << "the system's entry is not touched";
    EXPECT_EQ(validate(userEntry), "status 0\n");

    ASSERT_TRUE(registerEntry()) << error;
    EXPECT_EQ(status(), SMAppServiceStatus::enabled) << "registering lifts the mask";
    ASSERT_TRUE(unregisterEntry());
    EXPECT_EQ(status(), SMAppServiceStatus::notRegistered);

    // systemd's autostart generator ignores GNOME's switch, so such an entry still starts the
    // program there and is masked too.
    writeFile(systemEntry, entry("X-GNOME-Autostart-enabled=false\n"));
    fs::remove(userEntry);
    ASSERT_TRUE(unregisterEntry());
    EXPECT_TRUE(fs::exists(userEntry));

    // A hidden or broken system entry starts nothing: there is nothing to mask.
    for (const std::string& contents : {entry("Hidden=true\n"), std::string("garbage")}) {
        writeFile(systemEntry, contents);
        writeFile(userEntry, entry());
        ASSERT_TRUE(unregisterEntry());
        EXPECT_FALSE(fs::exists(userEntry));
    }
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

        XdgAutostart awkward(executable);
        ASSERT_TRUE(awkward.mainAppService()->registerAndReturnError(&error)) << error;
        EXPECT_EQ(validate(userEntry), "status 0\n") << readFile(userEntry);

        // GLib checks Exec and TryExec while loading: a badly escaped one loses the whole entry.
        auto info = GRefPtr<GDesktopAppInfo>::adopt(g_desktop_app_info_new_from_filename(userEntry.c_str()));
        ASSERT_TRUE(info) << readFile(userEntry);
        GUniqueOutPtr<GError> launchError;
        ASSERT_TRUE(g_app_info_launch(G_APP_INFO(info.get()), nullptr, nullptr, &launchError.outPtr()))
            << errorMessage(launchError.get());
        ASSERT_TRUE(runMainLoopUntil([&] { return fs::exists(argvFile); })) << readFile(userEntry);
        EXPECT_EQ(readFile(argvFile), executable.string() + "\n0\n") << readFile(userEntry);
    }
}

TEST_F(XdgAutostartTest, FailuresAreReportedAndChangeNothing)
{
    XdgAutostart unknown{fs::path()};
    EXPECT_EQ(unknown.mainAppService()->status(), SMAppServiceStatus::notFound);
    EXPECT_FALSE(unknown.mainAppService()->registerAndReturnError(&error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fs::exists(userEntry));

    XdgAutostart notUtf8{"/opt/zelna\xff/zelnamenu"};
    EXPECT_FALSE(notUtf8.mainAppService()->registerAndReturnError(nullptr));
    EXPECT_FALSE(fs::exists(userEntry));

    // A read-only autostart folder; root writes anywhere, so the write runs as nobody.
    writeFile(userEntry, entry("Hidden=true\n"));
    fs::permissions(scratch.path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(configHome, fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(configHome / "autostart", fs::perms::owner_read | fs::perms::owner_exec
                        | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(userEntry, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    const auto result = runInForkedChild([&] {
        if (!dropRootPrivileges())
            return 90;
        std::string reason;
        auto service = autostart.mainAppService();
        if (service->registerAndReturnError(&reason) || reason.empty())
            return 1;
        // The core passes no error pointer: the failure is dropped with one line on stderr.
        if (service->registerAndReturnError(nullptr) || service->unregisterAndReturnError(nullptr))
            return 2;
        return service->status() == SMAppServiceStatus::notRegistered ? 0 : 3;
    });
    EXPECT_EQ(result.status, 0) << result.standardError;
    EXPECT_EQ(std::count(result.standardError.begin(), result.standardError.end(), '\n'), 2) << result.standardError;
    EXPECT_EQ(readFile(userEntry), entry("Hidden=true\n"));
    fs::permissions(configHome / "autostart", fs::perms::owner_all);
}
