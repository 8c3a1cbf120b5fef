// XdgAutostart on scratch XDG folders, its entries checked by desktop-file-validate and GLib.

#include "linux/XdgAutostart.h"
#include "support/Harness.h"

#include <gio/gdesktopappinfo.h>
#include <gtest/gtest.h>

using namespace zelna::test;
namespace fs = std::filesystem;

namespace {

std::string entry(const std::string& extraLines = "")
{
    return "[Desktop Entry]\nType=Application\nName=ZelnaMenu\nExec=/usr/bin/zelnamenu\n" + extraLines;
}

class XdgAutostartTest : public testing::Test {
protected:
    SMAppServiceStatus status() { return autostart.mainAppService()->status(); }
    bool registerEntry() { return autostart.mainAppService()->registerAndReturnError(&error); }
    bool unregisterEntry() { return autostart.mainAppService()->unregisterAndReturnError(&error); }
    fs::path systemEntry(const fs::path& folder) { return folder / userEntry.filename(); }
    /// desktop-file-validate accepts the user's entry without so much as a hint.
    bool isValid() { return runTool({ "desktop-file-validate", userEntry }).output.empty() && fs::exists(userEntry); }

    ScratchDirectory scratch;
    fs::path systemFirst = scratch.path / "xdg-first/autostart", systemSecond = scratch.path / "xdg-second/autostart",
             userEntry = scratch.path / "config/autostart/org.zelna.ZelnaMenu.desktop";
    ScopedEnvironment configHome { "XDG_CONFIG_HOME", scratch.path / "config" },
        configDirs { "XDG_CONFIG_DIRS",
            systemFirst.parent_path().string() + ":relative/ignored:" + systemSecond.parent_path().string() };
    XdgAutostart autostart { "/usr/bin/zelnamenu" };
    std::string error;
};

} // namespace

TEST_F(XdgAutostartTest, TheEffectiveEntryDecidesTheStatusUnregisteringMasksASystemOneAndAwkwardPathsStartRight)
{
    for (const std::string& disabled :
        { entry("Hidden=true\n"), entry("X-GNOME-Autostart-enabled=false\n"), std::string("not a desktop entry") }) {
        writeFile(userEntry, disabled);
        EXPECT_EQ(status(), SMAppServiceStatus::notRegistered) << disabled;
    }
    fs::remove(userEntry);
    writeFile(systemEntry(systemSecond), entry());
    EXPECT_EQ(status(), SMAppServiceStatus::enabled) << "a system entry starts the program too";
    writeFile(systemEntry(systemFirst), entry("Hidden=true\n"));
    EXPECT_EQ(status(), SMAppServiceStatus::notRegistered) << "the first system folder wins";
    fs::remove(systemEntry(systemFirst));

    ASSERT_TRUE(unregisterEntry() && unregisterEntry()) << error;
    EXPECT_TRUE(status() == SMAppServiceStatus::notRegistered && isValid()) << "a valid entry masks the system's";
    EXPECT_EQ(std::distance(fs::directory_iterator(userEntry.parent_path()), {}), 1) << "no temporary file is left";
    EXPECT_EQ(readFile(systemEntry(systemSecond)), entry()) << "the system's entry is not touched";
    ASSERT_TRUE(registerEntry() && registerEntry()) << error;
    EXPECT_TRUE(status() == SMAppServiceStatus::enabled && isValid()) << "registering lifts the mask";
    writeFile(systemEntry(systemSecond), entry("Hidden=true\n"));
    ASSERT_TRUE(unregisterEntry());
    EXPECT_FALSE(fs::exists(userEntry)) << "a hidden system entry starts nothing: nothing to mask";
    const auto argvFile = scratch.path / "argv";
    ScopedEnvironment argvVariable("ZELNA_ARGV_FILE", argvFile.string());
    for (const char* folder : { "Zelna \"Menu\" $HOME it's back\\slash `x` a;b", "100% Zelna" }) {
        const auto executable = scratch.path / folder / "zelna menu";
        writeFile(executable, "#!/bin/sh\nprintf '%s\\n%s\\n' \"$0\" \"$#\" > \"$ZELNA_ARGV_FILE.part\"\n"
                              "mv \"$ZELNA_ARGV_FILE.part\" \"$ZELNA_ARGV_FILE\"\n");
        fs::permissions(executable, fs::perms::owner_all);
        fs::remove(argvFile);
        ASSERT_TRUE(XdgAutostart(executable).mainAppService()->registerAndReturnError(&error)) << error;
        EXPECT_TRUE(isValid()) << readFile(userEntry);
        // GLib checks Exec and TryExec while loading: a badly escaped one loses the whole entry.
        auto info = GRefPtr<GDesktopAppInfo>::adopt(g_desktop_app_info_new_from_filename(userEntry.c_str()));
        ASSERT_TRUE(info && g_app_info_launch(G_APP_INFO(info.get()), nullptr, nullptr, nullptr)) << folder;
        ASSERT_TRUE(runMainLoopUntil([&] { return fs::exists(argvFile); })) << readFile(userEntry);
        EXPECT_EQ(readFile(argvFile), executable.string() + "\n0\n") << readFile(userEntry);
    }
}
