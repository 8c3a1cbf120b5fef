// The dbusmenu exporter against a real (private) session bus, read the way hosts read it.

#include "linux/DbusMenuExporter.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <functional>

using namespace zelna::test;

namespace {

struct LocalRecordingTarget : ActionTarget {
    explicit LocalRecordingTarget(std::string selector)
        : selector(std::move(selector))
    { }
    bool respondsTo(std::string_view name) const override { return name == selector; }
    void perform(std::string_view name, MenuItem& sender) override
    {
        if (onPerform)
            onPerform();
        performed.push_back(std::string(name) + " " + std::to_string(sender.tag) + " " + sender.title);
    }
    std::string selector;
    std::vector<std::string> performed;
    std::function<void()> onPerform;
};

/// One item of a GetLayout reply; the parse checks that each child sits in one variant.
struct LayoutNode {
    std::int32_t id = 0;
    GUniquePtr<GVariant> properties;
    std::vector<LayoutNode> children;
    std::string text() const { return printed(properties.get()); }
};

LayoutNode parseLayout(GVariant* layout)
{
    LayoutNode node;
    g_variant_get_child(layout, 0, "i", &node.id);
    node.properties.reset(g_variant_get_child_value(layout, 1));
    GUniquePtr<GVariant> children(g_variant_get_child_value(layout, 2));
    for (gsize index = 0; index < g_variant_n_children(children.get()); ++index) {
        GUniquePtr<GVariant> child(g_variant_get_child_value(children.get(), index));
        EXPECT_STREQ(g_variant_get_type_string(child.get()), "v");
        GUniquePtr<GVariant> unboxed(g_variant_get_variant(child.get()));
        node.children.push_back(parseLayout(unboxed.get()));
    }
    return node;
}

/// An event as GVariant text, for Event's arguments or one element of EventGroup's.
std::string event(std::int32_t id, const char* type = "clicked", const char* data = "<0>")
{
    return "(" + std::to_string(id) + ", '" + type + "', " + data + ", uint32 0)";
}

class DbusMenuExporterTest : public ::testing::Test {
protected:
    /// Zelna_Prime (checked, Alt+1), a separator, a submenu (an item its target cannot perform,
    /// Zelna Pulse), an item whose target is gone, and a quit item for the application.
    std::shared_ptr<Menu> sampleMenu(const std::string& firstTitle = "Zelna_Prime")
    {
        auto item = [](std::string title, std::string action, std::string key, std::shared_ptr<ActionTarget> target,
                        int tag = 0) {
            MenuItem item(std::move(title), std::move(action), std::move(key));
            item.target = target;
            item.tag = tag;
            return item;
        };
        auto menu = std::make_shared<Menu>();
        MenuItem prime = item(firstTitle, "channelSelected:", "1", target, 7);
        prime.state = NSControlStateValueOn;
        prime.keyEquivalentModifierMask = NSEventModifierFlagOption;
        menu->addItem(std::move(prime));
        menu->addItem(MenuItem::separatorItem());
        MenuItem shortcuts("Shortcuts", "", "");
        shortcuts.submenu = std::make_shared<Menu>();
        shortcuts.submenu->addItem(item("None", "assignHotkey:", "", target));
        shortcuts.submenu->addItem(item("Zelna Pulse", "channelSelected:", "", target, 3));
        menu->addItem(std::move(shortcuts));
        menu->addItem(item("Orphan", "channelSelected:", "", std::make_shared<LocalRecordingTarget>("channelSelected:")));
        menu->addItem(MenuItem("Quit ZelnaMenu", "terminate:", "q"));
        return menu;
    }

    DbusReply call(const char* method, const std::string& arguments, const char* interface = "com.canonical.dbusmenu")
    {
        return callMethod(m_client.get(), g_dbus_connection_get_unique_name(m_server.get()), "/MenuBar", interface,
            method, arguments);
    }
    LayoutNode layout(const std::string& arguments = "(0, -1, @as [])")
    {
        auto reply = call("GetLayout", arguments);
        EXPECT_STREQ(reply ? g_variant_get_type_string(reply.value.get()) : reply.error.c_str(), "(u(ia{sv}av))");
        GUniquePtr<GVariant> root(reply ? g_variant_get_child_value(reply.value.get(), 1) : nullptr);
        return root ? parseLayout(root.get()) : LayoutNode {};
    }
    DbusReply click(std::int32_t id, const char* data = "<0>") { return call("Event", event(id, "clicked", data)); }

    PrivateSessionBus m_bus;
    GRefPtr<GDBusConnection> m_server = m_bus.connect();
    GRefPtr<GDBusConnection> m_client = m_bus.connect();
    std::shared_ptr<LocalRecordingTarget> application = std::make_shared<LocalRecordingTarget>("terminate:");
    std::shared_ptr<LocalRecordingTarget> target = std::make_shared<LocalRecordingTarget>("channelSelected:");
    DbusMenuExporter exporter { m_server.get(), "/MenuBar", application };
};

} // namespace

TEST(DbusMenuEncodingTest, LabelsDoubleUnderscoresAndShortcutsNameModifiersThenKey)
{
    EXPECT_EQ(dbusmenuLabel("_a_b__"), "__a__b____");
    EXPECT_EQ(dbusmenuLabel("⌥1: Zelna_Aria"), "⌥1: Zelna__Aria");

    using Shortcut = std::vector<std::vector<std::string>>;
    const struct {
        const char* key;
        std::uint64_t mask;
        Shortcut expected;
    } rows[] = {
        { "1", NSEventModifierFlagOption, { { "Alt", "1" } } },
        { "Q", NSEventModifierFlagCommand, { { "Control", "Shift", "q" } } },
        { "5", NSEventModifierFlagOption | NSEventModifierFlagShift, { { "Alt", "Shift", "5" } } },
        { "x", NSEventModifierFlagCommand | NSEventModifierFlagControl, { { "Control", "x" } } },
        { "k", 0, { { "k" } } },
        { "", NSEventModifierFlagCommand, {} },
    };
    for (const auto& row : rows)
        EXPECT_EQ(dbusmenuShortcut(row.key, row.mask), row.expected) << row.key << " " << row.mask;
}

TEST_F(DbusMenuExporterTest, LayoutNestsItemsWithMappedPropertiesAndHonoursItsArguments)
{
    exporter.setMenu(sampleMenu());
    const LayoutNode root = layout();
    EXPECT_EQ(root.id, 0);
    EXPECT_EQ(root.text(), "{'children-display': <'submenu'>}");
    ASSERT_EQ(root.children.size(), 5u);
    const LayoutNode& shortcuts = root.children[2];
    ASSERT_EQ(shortcuts.children.size(), 2u);
    // Checked with Alt+1; a separator; a submenu is enabled; its first item's target does not
    // answer the action, and an item that is off has no toggle; the orphan's target is gone; the
    // application answers terminate:.
    const std::string expected[] = {
        "{'label': <'Zelna__Prime'>, 'enabled': <true>, 'visible': <true>, 'toggle-type': <'checkmark'>, "
        "'toggle-state': <1>, 'shortcut': <[['Alt', '1']]>}",
        "{'type': <'separator'>, 'label': <''>, 'enabled': <false>, 'visible': <true>}",
        "{'label': <'Shortcuts'>, 'enabled': <true>, 'visible': <true>, 'children-display': <'submenu'>}",
        "{'label': <'Orphan'>, 'enabled': <false>, 'visible': <true>}",
        "{'label': <'Quit ZelnaMenu'>, 'enabled': <true>, 'visible': <true>, 'shortcut': <[['Control', 'q']]>}",
        "{'label': <'None'>, 'enabled': <false>, 'visible': <true>}",
        "{'label': <'Zelna Pulse'>, 'enabled': <true>, 'visible': <true>}",
    };
    const LayoutNode* items[] = { &root.children[0], &root.children[1], &shortcuts, &root.children[3],
        &root.children[4], &shortcuts.children[0], &shortcuts.children[1] };
    for (std::size_t index = 0; index < std::size(items); ++index)
        EXPECT_EQ(items[index]->text(), expected[index]);

    EXPECT_TRUE(layout("(0, 1, @as [])").children[2].children.empty()) << "depth 1 stops below the top level";
    const LayoutNode submenu = layout("(" + std::to_string(shortcuts.id) + ", -1, @as [])");
    EXPECT_EQ(submenu.id, shortcuts.id);
    EXPECT_EQ(submenu.children.size(), 2u);
    const LayoutNode labelled = layout("(0, -1, ['label'])");
    EXPECT_EQ(labelled.children[0].text(), "{'label': <'Zelna__Prime'>}");
    EXPECT_NE(call("GetLayout", "(9999, -1, @as [])").error.find("InvalidArgs"), std::string::npos);
}

TEST_F(DbusMenuExporterTest, PropertiesAndAboutToShowAnswerForKnownIdsOnly)
{
    exporter.setMenu(sampleMenu());
    const std::string prime = std::to_string(layout().children[0].id);
    const std::string group = call("GetGroupProperties", "([" + prime + ", 4242], @as [])").text();
    EXPECT_EQ(group.find("4242"), std::string::npos) << group;
    EXPECT_NE(group.find("'label': <'Zelna__Prime'>"), std::string::npos) << group;
    auto all = call("GetGroupProperties", "(@ai [], @as [])");
    ASSERT_TRUE(all) << all.error;
    GUniquePtr<GVariant> allItems(g_variant_get_child_value(all.value.get(), 0));
    EXPECT_EQ(g_variant_n_children(allItems.get()), 8u) << "no ids means every item, the root included";

    EXPECT_EQ(call("GetProperty", "(" + prime + ", 'label')").text(), "(<'Zelna__Prime'>,)");
    EXPECT_FALSE(call("GetProperty", "(4242, 'label')"));
    EXPECT_FALSE(call("GetProperty", "(" + prime + ", 'icon-name')"));
    EXPECT_EQ(call("Get", "('com.canonical.dbusmenu', 'Version')", "org.freedesktop.DBus.Properties").text(),
        "(<uint32 3>,)");
    EXPECT_EQ(call("AboutToShow", "(0,)").text(), "(false,)");
    EXPECT_EQ(call("AboutToShowGroup", "([0, 4242],)").text(), "(@ai [], [4242])");
}

TEST_F(DbusMenuExporterTest, ClicksThroughEventAndEventGroupPerformTheItemsActionAndNothingElseDoes)
{
    exporter.setMenu(sampleMenu());
    const LayoutNode root = layout();
    const std::int32_t primeId = root.children[0].id;
    const std::int32_t pulseId = root.children[2].children[1].id;
    const std::vector<std::string> primeThenPulse { "channelSelected: 7 Zelna_Prime",
        "channelSelected: 3 Zelna Pulse" };

    EXPECT_TRUE(click(primeId));
    EXPECT_TRUE(click(pulseId, "<''>"));
    EXPECT_TRUE(click(root.children[4].id));
    EXPECT_EQ(application->performed, std::vector<std::string> { "terminate: 0 Quit ZelnaMenu" })
        << "an item without a target goes to the application";
    // Not clicks, or items that cannot act: answered, and nothing performed.
    EXPECT_TRUE(call("Event", event(primeId, "hovered")));
    for (std::int32_t id :
        { 0, root.children[1].id, root.children[2].id, root.children[2].children[0].id, root.children[3].id })
        EXPECT_TRUE(click(id)) << id;
    EXPECT_EQ(target->performed, primeThenPulse);

    target->performed.clear();
    const std::string events = event(primeId) + ", " + event(4242) + ", " + event(pulseId, "clicked", "<''>") + ", "
        + event(root.children[2].id, "closed");
    EXPECT_EQ(call("EventGroup", "([" + events + "],)").text(), "([4242],)");
    EXPECT_EQ(target->performed, primeThenPulse);
    EXPECT_FALSE(call("EventGroup", "([" + event(4242) + "],)")) << "a group of unknown ids alone is an error";
}

TEST_F(DbusMenuExporterTest, EveryMenuIsANewRevisionWithFreshIdsAndStaleClicksFindNothing)
{
    SignalRecorder signals(m_client.get(), g_dbus_connection_get_unique_name(m_server.get()), "/MenuBar");
    exporter.setMenu(sampleMenu());
    const std::int32_t oldId = layout().children[0].id;
    exporter.setMenu(sampleMenu("Zelna Aria"));
    const LayoutNode second = layout();
    ASSERT_TRUE(runMainLoopUntil([&] { return signals.of("LayoutUpdated").size() == 2; }));
    EXPECT_EQ(signals.of("LayoutUpdated").back(), "(uint32 2, 0)");
    for (const auto& current : second.children)
        EXPECT_NE(current.id, oldId);

    EXPECT_NE(click(oldId).error.find("InvalidArgs"), std::string::npos);
    EXPECT_FALSE(call("EventGroup", "([" + event(oldId) + "],)"));
    EXPECT_TRUE(target->performed.empty());
    EXPECT_TRUE(click(second.children[0].id));
    EXPECT_EQ(target->performed, std::vector<std::string> { "channelSelected: 7 Zelna Aria" });
}

TEST_F(DbusMenuExporterTest, ActionThatReplacesTheMenuStillSeesItsItem)
{
    exporter.setMenu(sampleMenu());
    const LayoutNode root = layout();
    // What the menu manager does: the action rebuilds the whole menu before it returns.
    target->onPerform = [&] { exporter.setMenu(sampleMenu("Rebuilt")); };
    EXPECT_TRUE(click(root.children[0].id));
    EXPECT_EQ(target->performed, std::vector<std::string> { "channelSelected: 7 Zelna_Prime" });
    EXPECT_NE(layout().children[0].text().find("'Rebuilt'"), std::string::npos);
}
