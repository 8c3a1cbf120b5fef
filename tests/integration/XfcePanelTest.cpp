// The status item in a real status-area host: xfce4-panel's tray under Xvfb on a private bus.

#include "linux/StatusNotifierItem.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

using namespace zelna::test;

namespace {

/// "path member;" of each method call the host makes on the item's connection. Filled on
/// GDBus's worker thread.
class CallLog {
public:
    explicit CallLog(GDBusConnection* connection)
        : m_connection(GRefPtr<GDBusConnection>::share(connection))
    {
        m_filter = g_dbus_connection_add_filter(connection, filter, this, nullptr);
    }
    ~CallLog() { g_dbus_connection_remove_filter(m_connection.get(), m_filter); }
    bool has(const std::string& call)
    {
        std::lock_guard lock(m_mutex);
        return m_calls.find(call + ";") != std::string::npos;
    }
    std::string text()
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }

private:
    static GDBusMessage* filter(GDBusConnection*, GDBusMessage* message, gboolean isIncoming, void* userData)
    {
        auto* log = static_cast<CallLog*>(userData);
        if (isIncoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
            std::lock_guard lock(log->m_mutex);
            log->m_calls
                += std::string(g_dbus_message_get_path(message)) + " " + g_dbus_message_get_member(message) + ";";
        }
        return message;
    }
    GRefPtr<GDBusConnection> m_connection;
    unsigned m_filter = 0;
    std::mutex m_mutex;
    std::string m_calls;
};

struct LocalRecordingTarget : ActionTarget {
    bool respondsTo(std::string_view selector) const override { return selector == "channelSelected:"; }
    void perform(std::string_view, MenuItem& sender) override { performed.push_back(sender.title); }
    std::vector<std::string> performed;
};

struct FlagImage : Image {
    Size size() const override { return { 30, 17 }; }
    bool isTemplate() const override { return false; }
    void setTemplate(bool) override { }
    Bitmap rasterize(double scale) const override
    {
        const int width = static_cast<int>(30 * scale), height = static_cast<int>(17 * scale);
        return { width, height, std::vector<std::uint32_t>(static_cast<std::size_t>(width * height), 0xffcc2020) };
    }
};

bool runLocalTool(std::vector<std::string> argv)
{
    return ChildProcess(std::move(argv)).wait(std::chrono::seconds(10)) == 0;
}

} // namespace

TEST(XfcePanelTest, ShowsTheItemAndOpensItsMenuWithoutCrashingTheTray)
{
    ScratchDirectory home;
    const std::string panelConfig = home.path() + "/.config/xfce4/xfconf/xfce-perchannel-xml";
    std::filesystem::create_directories(panelConfig);
    std::filesystem::create_directories(home.path() + "/run");
    std::filesystem::copy_file(ZELNA_SOURCE_DIR "/tests/support/xfce4-panel.xml", panelConfig + "/xfce4-panel.xml");
    // Set before the bus starts: xfconfd is started by the bus and inherits its environment.
    ScopedEnvironment homeVariable("HOME", home.path());
    ScopedEnvironment configVariable("XDG_CONFIG_HOME", home.path() + "/.config");
    ScopedEnvironment cacheVariable("XDG_CACHE_HOME", home.path() + "/.cache");
    ScopedEnvironment dataVariable("XDG_DATA_HOME", home.path() + "/.local/share");
    ScopedEnvironment runtimeVariable("XDG_RUNTIME_DIR", home.path() + "/run");
    ScopedEnvironment sessionManager("SESSION_MANAGER", std::nullopt);
    ScopedEnvironment accessibility("NO_AT_BRIDGE", "1");
    VirtualDisplay display;
    PrivateSessionBus bus({ "org.xfce.Xfconf" });
    const std::string panelLog = home.path() + "/panel.log";
    ChildProcess panel({ "sh", "-c", "exec xfce4-panel --disable-wm-check >\"$0\" 2>&1", panelLog });

    auto connection = bus.connect();
    CallLog log(connection.get());
    auto target = std::make_shared<LocalRecordingTarget>();
    StatusNotifierItem item(connection.get(), target);
    item.button()->setImage(std::make_shared<FlagImage>());
    item.button()->setTitle(" Zelna_Pulse");
    // What the tray must parse: a checked item with a shortcut, a separator, a submenu.
    auto menu = std::make_shared<Menu>();
    MenuItem prime("Zelna_Prime", "channelSelected:", "1");
    prime.target = target;
    prime.state = NSControlStateValueOn;
    prime.keyEquivalentModifierMask = NSEventModifierFlagOption;
    menu->addItem(std::move(prime));
    menu->addItem(MenuItem::separatorItem());
    MenuItem shortcuts("Keyboard Shortcuts", "", "");
    shortcuts.submenu = std::make_shared<Menu>();
    shortcuts.submenu->addItem(MenuItem("Zelna Pulse", "channelSelected:", ""));
    menu->addItem(std::move(shortcuts));
    menu->addItem(MenuItem("Quit ZelnaMenu", "terminate:", "q"));
    item.setMenu(menu);

    // Shown: the host read the item and fetched its menu.
    ASSERT_TRUE(runMainLoopUntil([&] { return log.has("/StatusNotifierItem GetAll") && log.has("/MenuBar GetLayout"); },
        std::chrono::seconds(20)))
        << log.text() << "\n"
        << readFile(panelLog);
    // A left click on the item at the panel's left end opens the menu. The host fetches the
    // menu before it has drawn the item, so the click is repeated until the menu shows.
    bool isMenuOpen = false;
    for (int attempt = 0; attempt < 10 && !isMenuOpen; ++attempt) {
        ASSERT_TRUE(runLocalTool({ "xdotool", "mousemove", "18", "20", "click", "1" }));
        isMenuOpen = runMainLoopUntil([&] { return log.has("/MenuBar AboutToShowGroup"); }, std::chrono::seconds(1));
    }
    ASSERT_TRUE(isMenuOpen) << log.text() << "\n" << readFile(panelLog);
    // Down and Return choose the menu's first entry.
    runMainLoopFor(std::chrono::milliseconds(300));
    ASSERT_TRUE(runLocalTool({ "xdotool", "key", "Down", "Return" }));
    ASSERT_TRUE(runMainLoopUntil([&] { return !target->performed.empty(); })) << log.text();
    EXPECT_EQ(target->performed, std::vector<std::string> { "Zelna_Prime" });

    runMainLoopFor(std::chrono::milliseconds(300));
    EXPECT_EQ(readFile(panelLog).find("restarted after crash"), std::string::npos) << readFile(panelLog);
    EXPECT_TRUE(panel.isRunning());
}
