// The status item in a real status-area host: xfce4-panel's tray under Xvfb on a private bus.

#include "linux/StatusNotifierItem.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

using namespace zelna::test;

TEST(XfcePanelTest, ShowsTheItemAndItsMenuAndAChoiceReachesTheTargetWithoutCrashingTheTray)
{
    ScratchDirectory home;
    const std::string config = home.path / ".config", panelLog = home.path / "panel.log";
    // The panel's own configuration: one full-width panel along the top with only its tray, where
    // an item sits at the left end, around (18, 20).
    std::filesystem::create_directories(config + "/xfce4/xfconf/xfce-perchannel-xml");
    std::filesystem::copy_file(ZELNA_SOURCE_DIR "/tests/support/xfce4-panel.xml",
        config + "/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml");
    // Set before the bus starts: the xfconfd it activates inherits its environment.
    ScopedEnvironment homeVariable("HOME", home.path), configVariable("XDG_CONFIG_HOME", config),
        runtime("XDG_RUNTIME_DIR", home.path), session("SESSION_MANAGER", std::nullopt), noAccessibility("NO_AT_BRIDGE", "1");
    VirtualDisplay display;
    PrivateSessionBus bus({ "org.xfce.Xfconf" });
    ChildProcess panel({ "sh", "-c", "exec xfce4-panel --disable-wm-check >\"$0\" 2>&1", panelLog });

    auto connection = bus.connect();
    auto target = std::make_shared<RecordingTarget>();
    StatusNotifierItem item(connection.get(), target);
    item.setImage(std::make_shared<SolidImage>(Size { 30, 17 }, 0xffcc2020));
    item.setTitle(" Zelna_Pulse");
    // What the tray must parse: a checked item with a shortcut, a separator, a submenu.
    auto menu = std::make_shared<Menu>();
    menu->addItem(MenuItem("Zelna_Prime", "channelSelected:", "1"));
    menu->items()[0].target = target, menu->items()[0].state = NSControlStateValueOn;
    menu->items()[0].keyEquivalentModifierMask = NSEventModifierFlagOption;
    menu->addItem(MenuItem::separatorItem());
    menu->addItem(MenuItem("Keyboard Shortcuts", "", ""));
    menu->items()[2].submenu = std::make_shared<Menu>();
    menu->items()[2].submenu->addItem(MenuItem("Zelna Pulse", "channelSelected:", ""));
    menu->addItem(MenuItem("Quit ZelnaMenu", "terminate:", "q"));
    item.setMenu(menu);

    // A left click opens the menu; Down and Return choose its first entry. The host draws the
    // item a while after it has read it, so the click is repeated until the choice arrives.
    for (int attempt = 0; attempt < 20 && target->performed.empty(); ++attempt) {
        runMainLoopFor(500ms);
        ASSERT_EQ(runTool({ "xdotool", "mousemove", "18", "20", "click", "1" }).status, 0);
        runMainLoopFor(500ms);
        ASSERT_EQ(runTool({ "xdotool", "key", "Down", "Return" }).status, 0);
        runMainLoopUntil([&] { return !target->performed.empty(); }, 1s);
    }
    EXPECT_EQ(target->performed, std::vector<std::string> { "channelSelected: 0 Zelna_Prime" }) << readFile(panelLog);
    runMainLoopFor(300ms);
    EXPECT_EQ(readFile(panelLog).find("restarted after crash"), std::string::npos) << readFile(panelLog);
    EXPECT_TRUE(panel.isRunning());
}
