// The dbusmenu exporter on a private session bus, read the way hosts read it.

#include "linux/DbusMenuExporter.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

using namespace zelna::test;

namespace {

/// One item of a GetLayout reply: its id, its properties printed, its children. Each child must sit
/// in exactly one variant: some hosts crash on anything else.
struct Layout {
    explicit Layout(GVariant* layout)
    {
        GUniquePtr<GVariant> values(g_variant_get_child_value(layout, 1)), list(g_variant_get_child_value(layout, 2));
        g_variant_get_child(layout, 0, "i", &id);
        properties = printed(values.get());
        for (gsize index = 0; index < g_variant_n_children(list.get()); ++index) {
            GUniquePtr<GVariant> child(g_variant_get_child_value(list.get(), index));
            EXPECT_STREQ(g_variant_get_type_string(child.get()), "v");
            children.emplace_back(GUniquePtr<GVariant>(g_variant_get_variant(child.get())).get());
        }
    }
    std::int32_t id = 0;
    std::string properties;
    std::vector<Layout> children;
};

class DbusMenuExporterTest : public testing::Test {
protected:
    /// Zelna_Prime (checked, Alt+1), a separator, a submenu (an item its target cannot perform, Zelna
    /// Pulse), an item whose target is gone, and a quit item for the application.
    void setMenu(const std::string& firstTitle = "Zelna_Prime")
    {
        auto menu = std::make_shared<Menu>(), submenu = std::make_shared<Menu>();
        const auto add = [&](Menu& to, std::string title, std::string action, auto by, int tag = 0) {
            to.addItem(MenuItem(title, action, "")), to.items().back().target = by, to.items().back().tag = tag;
        };
        add(*menu, firstTitle, "channelSelected:", target, 7);
        menu->items()[0].state = NSControlStateValueOn;
        menu->items()[0].keyEquivalent = "1", menu->items()[0].keyEquivalentModifierMask = NSEventModifierFlagOption;
        menu->addItem(MenuItem::separatorItem());
        menu->addItem(MenuItem("Shortcuts", "", "")), menu->items()[2].submenu = submenu;
        add(*submenu, "None", "assignHotkey:", target), add(*submenu, "Zelna Pulse", "channelSelected:", target, 3);
        add(*menu, "Orphan", "channelSelected:", std::make_shared<RecordingTarget>());
        menu->addItem(MenuItem("Quit ZelnaMenu", "terminate:", "q"));
        exporter.setMenu(menu);
    }
    DbusReply call(const char* method, const std::string& arguments, const char* interface = "com.canonical.dbusmenu")
    {
        return callMethod(client.get(), g_dbus_connection_get_unique_name(server.get()), "/MenuBar", interface, method,
            arguments);
    }
    Layout layout()
    {
        auto reply = call("GetLayout", "(0, -1, @as [])");
        EXPECT_EQ(reply ? g_variant_get_type_string(reply.value.get()) : reply.error, "(u(ia{sv}av))");
        return Layout(GUniquePtr<GVariant>(g_variant_get_child_value(reply.value.get(), 1)).get());
    }
    /// An event as GVariant text, for Event's arguments or one element of EventGroup's.
    static std::string event(std::int32_t id, const char* type = "clicked")
    {
        return "(" + std::to_string(id) + ", '" + type + "', <0>, uint32 0)";
    }

    PrivateSessionBus bus;
    GRefPtr<GDBusConnection> server = bus.connect(), client = bus.connect();
    std::shared_ptr<RecordingTarget> application = std::make_shared<RecordingTarget>("terminate:"),
                                     target = std::make_shared<RecordingTarget>();
    DbusMenuExporter exporter { server.get(), "/MenuBar", application };
};

} // namespace

TEST_F(DbusMenuExporterTest, HostsReadTheLayoutAndClicksPerformActionsButNeverOnAnOldLayout)
{
    SignalRecorder signals(client.get(), g_dbus_connection_get_unique_name(server.get()), "/MenuBar");
    setMenu();
    const Layout root = layout();
    std::vector<std::string> properties { root.properties };
    for (const auto* items : { &root.children, &root.children.at(2).children })
        for (const auto& item : *items)
            properties.push_back(item.properties);
    // Checked with Alt+1; a separator; a submenu; the orphan's target is gone; the application
    // answers terminate:; the submenu's first item's target does not answer its action.
    EXPECT_EQ(properties, (std::vector<std::string> { "{'children-display': <'submenu'>}",
        "{'label': <'Zelna__Prime'>, 'enabled': <true>, 'visible': <true>, 'toggle-type': <'checkmark'>, "
        "'toggle-state': <1>, 'shortcut': <[['Alt', '1']]>}",
        "{'type': <'separator'>, 'label': <''>, 'enabled': <false>, 'visible': <true>}",
        "{'label': <'Shortcuts'>, 'enabled': <true>, 'visible': <true>, 'children-display': <'submenu'>}",
        "{'label': <'Orphan'>, 'enabled': <false>, 'visible': <true>}",
        "{'label': <'Quit ZelnaMenu'>, 'enabled': <true>, 'visible': <true>, 'shortcut': <[['Control', 'q']]>}",
        "{'label': <'None'>, 'enabled': <false>, 'visible': <true>}",
        "{'label': <'Zelna Pulse'>, 'enabled': <true>, 'visible': <true>}" }));
    EXPECT_EQ(call("AboutToShowGroup", "([0, 4242],)").text(), "(@ai [], [4242])");

    const Layout& old = root;
    const std::int32_t primeId = old.children[0].id, pulse = old.children[2].children[1].id;
    // Not clicks, and items that cannot act, are answered and perform nothing; quit reaches the application.
    for (auto id : { primeId, pulse, 0, old.children[1].id, old.children[2].id, old.children[2].children[0].id,
             old.children[3].id, old.children[4].id })
        EXPECT_TRUE(call("Event", event(id)) && call("Event", event(id, "hovered"))) << id;
    EXPECT_EQ(call("EventGroup", "([" + event(primeId) + ", " + event(4242) + "],)").text(), "([4242],)");
    EXPECT_EQ(target->performed, (std::vector<std::string> { "channelSelected: 7 Zelna_Prime",
                                     "channelSelected: 3 Zelna Pulse", "channelSelected: 7 Zelna_Prime" }));
    EXPECT_EQ(application->performed, std::vector<std::string> { "terminate: 0 Quit ZelnaMenu" });
    // What the menu manager does: the action replaces the whole menu before it returns.
    target->onPerform = [&] { setMenu("Zelna Aria"), target->onPerform = nullptr; };
    EXPECT_TRUE(call("Event", event(primeId)));
    const Layout fresh = layout();
    ASSERT_TRUE(runMainLoopUntil([&] { return signals.of("LayoutUpdated").size() == 2; }));
    EXPECT_EQ(signals.of("LayoutUpdated")[1], "LayoutUpdated(uint32 2, 0)");
    for (const auto& item : fresh.children)
        EXPECT_NE(item.id, primeId) << "ids are never reused";
    EXPECT_NE(call("Event", event(primeId)).error.find("InvalidArgs"), std::string::npos);
    EXPECT_FALSE(call("EventGroup", "([" + event(pulse) + "],)"));
    EXPECT_TRUE(call("Event", event(fresh.children[0].id)));
    EXPECT_EQ(target->performed.size(), 5U);
    EXPECT_EQ(target->performed.back(), "channelSelected: 7 Zelna Aria");
}

TEST_F(DbusMenuExporterTest, OverlongListsAreRefusedWhileOtherCallsGoOnAndRepeatsCountOnce)
{
    setMenu();
    const std::int32_t primeId = layout().children[0].id;
    // A million ids with a property read right behind them; a deadline only catches a hang.
    const std::vector<std::int32_t> ids(1'000'000, primeId);
    std::string refusal;
    g_dbus_connection_call(client.get(), g_dbus_connection_get_unique_name(server.get()), "/MenuBar",
        "com.canonical.dbusmenu", "GetGroupProperties",
        g_variant_new("(@ai@as)", g_variant_new_fixed_array(G_VARIANT_TYPE_INT32, ids.data(), ids.size(), 4),
            g_variant_new_strv(nullptr, 0)),
        nullptr, G_DBUS_CALL_FLAGS_NONE, 20000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer answer) {
            GUniqueOutPtr<GError> error;
            GUniquePtr<GVariant> reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error.outPtr()));
            *static_cast<std::string*>(answer) = reply ? printed(reply.get()) : Failure::from(error.get()).message;
        },
        &refusal);
    EXPECT_EQ(call("Get", "('com.canonical.dbusmenu', 'Version')", "org.freedesktop.DBus.Properties").text(),
        "(<uint32 3>,)");
    ASSERT_TRUE(runMainLoopUntil([&] { return !refusal.empty(); }, 25s));
    EXPECT_NE(refusal.find("LimitsExceeded"), std::string::npos) << refusal;

    // Within the limit, an item named many times is answered once, and clicked once.
    std::string repeated;
    for (int count = 0; count < 500; ++count)
        repeated += std::to_string(primeId) + ", 4242, ";
    EXPECT_EQ(call("GetGroupProperties", "([" + repeated + "0], ['label'])").text(),
        "([(" + std::to_string(primeId) + ", {'label': <'Zelna__Prime'>}), (0, {})],)");
    EXPECT_EQ(call("EventGroup", "([" + event(primeId) + ", " + event(primeId) + "],)").text(), "(@ai [],)");
    EXPECT_EQ(target->performed.size(), 1U);
}
