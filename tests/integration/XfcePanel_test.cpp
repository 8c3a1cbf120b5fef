// The status item in a real status-area host: xfce4-panel's tray under Xvfb on a private bus.

#include "linux/StatusNotifierItem.h"
#include "support/DbusCalls.h"
#include "support/TestServices.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

using namespace zelna::test;

namespace {

/// Sees the method calls other clients make on the bus (org.freedesktop.DBus.Monitoring).
class BusMonitor {
public:
    BusMonitor(const PrivateSessionBus& bus, std::vector<const char*> rules)
        : m_connection(bus.connect())
    {
        rules.push_back(nullptr);
        m_filter = g_dbus_connection_add_filter(m_connection.get(), filter, this, nullptr);
        GUniqueOutPtr<GError> error;
        GUniquePtr<GVariant> reply(
            g_dbus_connection_call_sync(m_connection.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                "org.freedesktop.DBus.Monitoring", "BecomeMonitor", g_variant_new("(^asu)", rules.data(), 0u), nullptr,
                G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error.outPtr()));
        EXPECT_TRUE(reply) << errorMessage(error.get());
    }
    ~BusMonitor() { g_dbus_connection_remove_filter(m_connection.get(), m_filter); }

    /// "path member" of each call seen so far.
    bool hasSeen(const std::string& call) const
    {
        std::lock_guard lock(m_mutex);
        return m_calls.contains(call);
    }
    std::string seen() const
    {
        std::lock_guard lock(m_mutex);
        std::ostringstream text;
        for (const auto& call : m_calls)
            text << call << "; ";
        return text.str();
    }

private:
    // Runs on GDBus's worker thread. Monitored calls are addressed to others: they are recorded
    // and dropped, since a monitor must never answer.
    static GDBusMessage* filter(GDBusConnection*, GDBusMessage* message, gboolean incoming, void* userData)
    {
        if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL)
            return message;
        auto* self = static_cast<BusMonitor*>(userData);
        {
            std::lock_guard lock(self->m_mutex);
            self->m_calls.insert(
                std::string(g_dbus_message_get_path(message)) + " " + g_dbus_message_get_member(message));
        }
        g_object_unref(message);
        return nullptr;
    }

    GRefPtr<GDBusConnection> m_connection;
    unsigned m_filter = 0;
    mutable std::mutex m_mutex;
    std::set<std::string> m_calls;
};

class RecordingTarget : public ActionTarget {
public:
    explicit RecordingTarget(std::string selector)
        : m_selector(std::move(selector))
    { }
    bool respondsTo(std::string_view selector) const override { return selector == m_selector; }
    void perform(std::string_view, MenuItem& sender) override { performed.push_back(sender.title); }
    std::vector<std::string> performed;

private:
    std::string m_selector;
};

class FlagImage : public Image {
public:
    Size size() const override { return { 30, 17 }; }
    bool isTemplate() const override { return false; }
    void setTemplate(bool) override { }
    Bitmap rasterize(double scale) const override
    {
        const int width = static_cast<int>(30 * scale);
        const int height = static_cast<int>(17 * scale);
        Bitmap bitmap { width, height, std::vector<std::uint32_t>(static_cast<std::size_t>(width * height)) };
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x)
                bitmap.pixels[static_cast<std::size_t>(y * width + x)] = x < width / 2 ? 0xffcc2020 : 0xff2040cc;
        }
        return bitmap;
    }
};

std::string fileText(const std::string& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

bool runTool(std::vector<std::string> argv)
{
    ChildProcess tool(std::move(argv));
    return tool.wait(std::chrono::seconds(10)) == 0;
}

} // namespace

TEST(XfcePanelTest, ShowsTheItemAndOpensItsMenuWithoutCrashingTheTray)
{
    ScratchDirectory home;
    const std::string configHome = home.path() + "/.config";
    const std::string runtimeDirectory = home.path() + "/run";
    std::filesystem::create_directories(configHome + "/xfce4/xfconf/xfce-perchannel-xml");
    std::filesystem::create_directories(runtimeDirectory);
    std::filesystem::copy_file(ZELNA_SOURCE_DIR "/tests/support/xfce4-panel.xml",
        configHome + "/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml");
    // Set before the bus starts: xfconfd is started by the bus and inherits its environment.
    ScopedEnvironment homeVariable("HOME", home.path());
    ScopedEnvironment configVariable("XDG_CONFIG_HOME", configHome);
    ScopedEnvironment cacheVariable("XDG_CACHE_HOME", home.path() + "/.cache");
    ScopedEnvironment dataVariable("XDG_DATA_HOME", home.path() + "/.local/share");
    ScopedEnvironment runtimeVariable("XDG_RUNTIME_DIR", runtimeDirectory);
    ScopedEnvironment sessionManager("SESSION_MANAGER", std::nullopt);
    ScopedEnvironment accessibility("NO_AT_BRIDGE", "1");

    VirtualDisplay display;
    PrivateSessionBus bus;
    BusMonitor monitor(bus, { "interface='com.canonical.dbusmenu'", "path='/StatusNotifierItem'" });

    const std::string panelLog = home.path() + "/panel.log";
    ChildProcess panel({ "sh", "-c", "exec xfce4-panel --disable-wm-check >\"$0\" 2>&1", panelLog });

    auto connection = bus.connect();
    auto application = std::make_shared<RecordingTarget>("terminate:");
    auto target = std::make_shared<RecordingTarget>("channelSelected:");
    StatusNotifierItem item(connection.get(), application);
    item.button()->setImage(std::make_shared<FlagImage>());
    item.button()->setTitle(" Zelna_Pulse");

    auto menu = std::make_shared<Menu>();
    MenuItem prime("Zelna_Prime", "channelSelected:", "1");
    prime.target = target;
    prime.state = NSControlStateValueOn;
    prime.keyEquivalentModifierMask = NSEventModifierFlagOption;
    menu->addItem(std::move(prime));
    menu->addItem(MenuItem::separatorItem());
    MenuItem shortcuts("Keyboard Shortcuts", "", "");
    shortcuts.submenu = std::make_shared<Menu>();
    MenuItem pulse("Zelna Pulse", "channelSelected:", "");
    pulse.target = target;
    shortcuts.submenu->addItem(std::move(pulse));
    menu->addItem(std::move(shortcuts));
    menu->addItem(MenuItem::separatorItem());
    menu->addItem(MenuItem("Quit ZelnaMenu", "terminate:", "q"));
    item.setMenu(menu);

    // Shown: the host read the item and fetched its menu.
    ASSERT_TRUE(runMainLoopUntil(
        [&] { return monitor.hasSeen("/StatusNotifierItem GetAll") && monitor.hasSeen("/MenuBar GetLayout"); },
        std::chrono::seconds(20)))
        << monitor.seen() << "\n"
        << fileText(panelLog);

    // A left click on the item at the panel's left end opens the menu. The host fetches the
    // menu before it has drawn the item, so the click is repeated until the menu shows.
    bool isMenuOpen = false;
    for (int attempt = 0; attempt < 10 && !isMenuOpen; ++attempt) {
        ASSERT_TRUE(runTool({ "xdotool", "mousemove", "18", "20", "click", "1" }));
        isMenuOpen = runMainLoopUntil(
            [&] { return monitor.hasSeen("/MenuBar AboutToShowGroup"); }, std::chrono::milliseconds(1000));
    }
    ASSERT_TRUE(isMenuOpen) << monitor.seen() << "\n" << fileText(panelLog);
    // Down and Return choose the menu's first entry.
    runMainLoopFor(std::chrono::milliseconds(300));
    ASSERT_TRUE(runTool({ "xdotool", "key", "Down", "Return" }));
    ASSERT_TRUE(runMainLoopUntil([&] { return !target->performed.empty(); })) << monitor.seen() << "\n"
                                                                              << fileText(panelLog);
    EXPECT_EQ(target->performed, std::vector<std::string> { "Zelna_Prime" });
    EXPECT_TRUE(monitor.hasSeen("/MenuBar EventGroup"));

    runMainLoopFor(std::chrono::milliseconds(300));
    const std::string log = fileText(panelLog);
    EXPECT_EQ(log.find("restarted after crash"), std::string::npos) << log;
    EXPECT_TRUE(panel.isRunning()) << log;
}
