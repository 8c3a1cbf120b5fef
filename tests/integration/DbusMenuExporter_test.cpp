// The dbusmenu exporter against a real (private) session bus, read the way hosts read it.

#include "linux/DbusMenuExporter.h"
#include "support/DbusCalls.h"
#include "support/TestServices.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

using namespace zelna::test;

namespace {

constexpr const char* menuPath = "/MenuBar";
constexpr const char* menuInterface = "com.canonical.dbusmenu";

class RecordingTarget : public ActionTarget {
public:
    explicit RecordingTarget(std::set<std::string, std::less<>> selectors)
        : selectors(std::move(selectors))
    { }
    bool respondsTo(std::string_view selector) const override { return selectors.contains(selector); }
    void perform(std::string_view selector, MenuItem& sender) override
    {
        if (onPerform)
            onPerform();
        performed.push_back(std::string(selector) + " " + std::to_string(sender.tag) + " " + sender.title);
    }

    std::set<std::string, std::less<>> selectors;
    std::vector<std::string> performed;
    std::function<void()> onPerform;
};

/// One item of a GetLayout reply, checked to be nested the way hosts require.
struct LayoutNode {
    std::int32_t id = 0;
    GUniquePtr<GVariant> properties;
    std::vector<LayoutNode> children;

    std::string string(const char* name) const
    {
        const char* value = nullptr;
        return g_variant_lookup(properties.get(), name, "&s", &value) ? value : "<absent>";
    }
    bool has(const char* name) const
    {
        return GUniquePtr<GVariant>(g_variant_lookup_value(properties.get(), name, nullptr)) != nullptr;
    }
    std::string printed(const char* name) const
    {
        GUniquePtr<GVariant> value(g_variant_lookup_value(properties.get(), name, nullptr));
        if (!value)
            return "<absent>";
        GUniquePtr<gchar> text(g_variant_print(value.get(), TRUE));
        return text.get();
    }
};

GVariant* ids(std::vector<std::int32_t> values)
{
    return g_variant_new_fixed_array(G_VARIANT_TYPE_INT32, values.data(), values.size(), sizeof(std::int32_t));
}

LayoutNode parseLayout(GVariant* layout)
{
    EXPECT_STREQ(g_variant_get_type_string(layout), "(ia{sv}av)");
    LayoutNode node;
    g_variant_get_child(layout, 0, "i", &node.id);
    node.properties.reset(g_variant_get_child_value(layout, 1));
    GUniquePtr<GVariant> children(g_variant_get_child_value(layout, 2));
    for (gsize index = 0; index < g_variant_n_children(children.get()); ++index) {
        GUniquePtr<GVariant> boxed(g_variant_get_child_value(children.get(), index));
        EXPECT_STREQ(g_variant_get_type_string(boxed.get()), "v");
        GUniquePtr<GVariant> child(g_variant_get_variant(boxed.get()));
        node.children.push_back(parseLayout(child.get()));
    }
    return node;
}

class DbusMenuExporterTest : public ::testing::Test {
protected:
    DbusMenuExporterTest()
        : m_serverConnection(m_bus.connect())
        , m_clientConnection(m_bus.connect())
        , m_server(uniqueName(m_serverConnection.get()))
    { }

    /// Zelna_Prime (checked, Alt+1), a separator, a submenu of two, an item whose target is gone,
    /// and a quit item for the application.
    std::shared_ptr<Menu> sampleMenu(const std::string& firstTitle = "Zelna_Prime")
    {
        auto menu = std::make_shared<Menu>();
        MenuItem prime(firstTitle, "channelSelected:", "1");
        prime.target = target;
        prime.tag = 7;
        prime.state = NSControlStateValueOn;
        prime.keyEquivalentModifierMask = NSEventModifierFlagOption;
        menu->addItem(std::move(prime));
        menu->addItem(MenuItem::separatorItem());

        MenuItem shortcuts("Shortcuts", "", "");
        shortcuts.submenu = std::make_shared<Menu>();
        MenuItem none("None", "assignHotkey:", "");
        none.target = target;
        shortcuts.submenu->addItem(std::move(none));
        MenuItem pulse("Zelna Pulse", "channelSelected:", "");
        pulse.target = target;
        pulse.tag = 3;
        shortcuts.submenu->addItem(std::move(pulse));
        menu->addItem(std::move(shortcuts));

        MenuItem orphan("Orphan", "channelSelected:", "");
        orphan.target = std::make_shared<RecordingTarget>(std::set<std::string, std::less<>> { "channelSelected:" });
        menu->addItem(std::move(orphan));

        menu->addItem(MenuItem("Quit ZelnaMenu", "terminate:", "q"));
        return menu;
    }

    DbusReply call(const char* method, GVariant* parameters)
    {
        return callMethod(m_clientConnection.get(), m_server, menuPath, menuInterface, method, parameters);
    }

    LayoutNode layout(std::int32_t parent = 0, std::int32_t depth = -1, GVariant* names = nullptr)
    {
        auto reply = call(
            "GetLayout", g_variant_new("(ii@as)", parent, depth, names ? names : g_variant_new_strv(nullptr, 0)));
        EXPECT_TRUE(reply) << reply.error;
        if (!reply)
            return {};
        EXPECT_STREQ(g_variant_get_type_string(reply.value.get()), "(u(ia{sv}av))");
        GUniquePtr<GVariant> root(g_variant_get_child_value(reply.value.get(), 1));
        return parseLayout(root.get());
    }

    DbusReply click(std::int32_t id, GVariant* data = g_variant_new_int32(0))
    {
        return call("Event", g_variant_new("(isvu)", id, "clicked", data, 0u));
    }

    PrivateSessionBus m_bus;
    GRefPtr<GDBusConnection> m_serverConnection;
    GRefPtr<GDBusConnection> m_clientConnection;
    std::string m_server;
    std::shared_ptr<RecordingTarget> application
        = std::make_shared<RecordingTarget>(std::set<std::string, std::less<>> { "terminate:" });
    std::shared_ptr<RecordingTarget> target
        = std::make_shared<RecordingTarget>(std::set<std::string, std::less<>> { "channelSelected:" });
    DbusMenuExporter exporter { m_serverConnection.get(), menuPath, application };
};

} // namespace

TEST(DbusMenuEncodingTest, LabelsDoubleEveryUnderscore)
{
    EXPECT_EQ(dbusmenuLabel("Zelna Prime"), "Zelna Prime");
    EXPECT_EQ(dbusmenuLabel("_a_b__"), "__a__b____");
    EXPECT_EQ(dbusmenuLabel("\u2325"
                            "1: Zelna_Aria"),
        "\u2325"
        "1: Zelna__Aria");
    EXPECT_EQ(dbusmenuLabel(""), "");
}

TEST(DbusMenuEncodingTest, ShortcutsNameModifiersThenKey)
{
    using Shortcut = std::vector<std::vector<std::string>>;
    const struct {
        const char* key;
        std::uint64_t mask;
        Shortcut expected;
    } rows[] = {
        { "1", NSEventModifierFlagOption, { { "Alt", "1" } } },
        { "q", NSEventModifierFlagCommand, { { "Control", "q" } } },
        { "Q", NSEventModifierFlagCommand, { { "Control", "Shift", "q" } } },
        { "5", NSEventModifierFlagOption | NSEventModifierFlagShift, { { "Alt", "Shift", "5" } } },
        { "x", NSEventModifierFlagCommand | NSEventModifierFlagControl, { { "Control", "x" } } },
        { "k", 0, { { "k" } } },
        { "", NSEventModifierFlagCommand, {} },
    };
    for (const auto& row : rows)
        EXPECT_EQ(dbusmenuShortcut(row.key, row.mask), row.expected) << row.key << " " << row.mask;
}

TEST_F(DbusMenuExporterTest, LayoutNestsEachChildInOneVariantWithMappedProperties)
{
    exporter.setMenu(sampleMenu());
    const LayoutNode root = layout();

    EXPECT_EQ(root.id, 0);
    EXPECT_EQ(root.string("children-display"), "submenu");
    ASSERT_EQ(root.children.size(), 5u);

    const auto& prime = root.children[0];
    EXPECT_EQ(prime.string("label"), "Zelna__Prime");
    EXPECT_EQ(prime.printed("enabled"), "true");
    EXPECT_EQ(prime.printed("visible"), "true");
    EXPECT_EQ(prime.string("toggle-type"), "checkmark");
    EXPECT_EQ(prime.printed("toggle-state"), "1");
    EXPECT_EQ(prime.printed("shortcut"), "[['Alt', '1']]");
    EXPECT_FALSE(prime.has("type"));
    EXPECT_FALSE(prime.has("children-display"));

    const auto& separator = root.children[1];
    EXPECT_EQ(separator.string("type"), "separator");
    EXPECT_TRUE(separator.has("visible"));

    const auto& shortcuts = root.children[2];
    EXPECT_EQ(shortcuts.string("children-display"), "submenu");
    EXPECT_EQ(shortcuts.printed("enabled"), "true") << "an item with a submenu is enabled";
    ASSERT_EQ(shortcuts.children.size(), 2u);
    EXPECT_EQ(shortcuts.children[0].printed("enabled"), "false") << "its target does not answer assignHotkey:";
    EXPECT_FALSE(shortcuts.children[0].has("toggle-type")) << "an item that is off has no toggle";
    EXPECT_FALSE(shortcuts.children[0].has("toggle-state"));
    EXPECT_EQ(shortcuts.children[1].string("label"), "Zelna Pulse");
    EXPECT_FALSE(shortcuts.children[1].has("shortcut"));

    EXPECT_EQ(root.children[3].printed("enabled"), "false") << "the item's target is gone";

    const auto& quit = root.children[4];
    EXPECT_EQ(quit.printed("enabled"), "true") << "the application answers terminate:";
    EXPECT_EQ(quit.printed("shortcut"), "[['Control', 'q']]");

    std::set<std::int32_t> ids { root.id };
    for (const auto& child : root.children) {
        ids.insert(child.id);
        for (const auto& grandchild : child.children)
            ids.insert(grandchild.id);
    }
    EXPECT_EQ(ids.size(), 8u) << "every item has its own id";
}

TEST_F(DbusMenuExporterTest, LayoutHonoursParentDepthAndPropertyNames)
{
    exporter.setMenu(sampleMenu());
    const LayoutNode shallow = layout(0, 1);
    ASSERT_EQ(shallow.children.size(), 5u);
    EXPECT_TRUE(shallow.children[2].children.empty()) << "depth 1 stops below the top level";
    EXPECT_TRUE(layout(0, 0).children.empty());

    const std::int32_t shortcutsId = shallow.children[2].id;
    const LayoutNode submenu = layout(shortcutsId, -1);
    EXPECT_EQ(submenu.id, shortcutsId);
    EXPECT_EQ(submenu.children.size(), 2u);

    const char* names[] = { "label", "type" };
    const LayoutNode labelled = layout(0, -1, g_variant_new_strv(names, 2));
    EXPECT_EQ(labelled.children[0].string("label"), "Zelna__Prime");
    EXPECT_FALSE(labelled.children[0].has("enabled"));
    EXPECT_FALSE(labelled.children[0].has("toggle-state"));
    EXPECT_EQ(labelled.children[1].string("type"), "separator");

    auto unknown = call("GetLayout", g_variant_new("(ii@as)", 9999, -1, g_variant_new_strv(nullptr, 0)));
    EXPECT_FALSE(unknown);
    EXPECT_NE(unknown.error.find("InvalidArgs"), std::string::npos) << unknown.error;
}

TEST_F(DbusMenuExporterTest, PropertiesAnswerForKnownIdsOnly)
{
    exporter.setMenu(sampleMenu());
    const LayoutNode root = layout();
    const std::int32_t primeId = root.children[0].id;

    auto group
        = call("GetGroupProperties", g_variant_new("(@ai@as)", ids({ primeId, 4242 }), g_variant_new_strv(nullptr, 0)));
    ASSERT_TRUE(group) << group.error;
    GUniquePtr<gchar> printed(g_variant_print(group.value.get(), FALSE));
    GUniquePtr<GVariant> groupItems(g_variant_get_child_value(group.value.get(), 0));
    EXPECT_EQ(g_variant_n_children(groupItems.get()), 1u) << printed.get();
    EXPECT_NE(std::string(printed.get()).find("'label': <'Zelna__Prime'>"), std::string::npos) << printed.get();

    auto all = call("GetGroupProperties", g_variant_new("(@ai@as)", ids({}), g_variant_new_strv(nullptr, 0)));
    ASSERT_TRUE(all) << all.error;
    GUniquePtr<GVariant> allItems(g_variant_get_child_value(all.value.get(), 0));
    EXPECT_EQ(g_variant_n_children(allItems.get()), 8u) << "no ids means every item, the root included";

    auto label = call("GetProperty", g_variant_new("(is)", primeId, "label"));
    ASSERT_TRUE(label) << label.error;
    GUniquePtr<gchar> labelText(g_variant_print(label.value.get(), FALSE));
    EXPECT_STREQ(labelText.get(), "(<'Zelna__Prime'>,)");
    EXPECT_FALSE(call("GetProperty", g_variant_new("(is)", 4242, "label")));
    EXPECT_FALSE(call("GetProperty", g_variant_new("(is)", primeId, "icon-name")));

    auto version = callMethod(m_clientConnection.get(), m_server, menuPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", menuInterface, "Version"));
    ASSERT_TRUE(version) << version.error;
    GUniquePtr<gchar> versionText(g_variant_print(version.value.get(), TRUE));
    EXPECT_STREQ(versionText.get(), "(<uint32 3>,)");

    auto aboutToShow = call("AboutToShow", g_variant_new("(i)", 0));
    ASSERT_TRUE(aboutToShow) << aboutToShow.error;
    GUniquePtr<gchar> needsUpdate(g_variant_print(aboutToShow.value.get(), FALSE));
    EXPECT_STREQ(needsUpdate.get(), "(false,)");
    auto aboutToShowGroup = call("AboutToShowGroup", g_variant_new("(@ai)", ids({ 0, 4242 })));
    ASSERT_TRUE(aboutToShowGroup) << aboutToShowGroup.error;
    GUniquePtr<gchar> groupText(g_variant_print(aboutToShowGroup.value.get(), FALSE));
    EXPECT_STREQ(groupText.get(), "([], [4242])");
}

TEST_F(DbusMenuExporterTest, ClickedEventPerformsTheItemsActionAndNothingElseDoes)
{
    exporter.setMenu(sampleMenu());
    const LayoutNode root = layout();

    EXPECT_TRUE(click(root.children[0].id));
    EXPECT_EQ(target->performed, std::vector<std::string> { "channelSelected: 7 Zelna_Prime" });

    EXPECT_TRUE(click(root.children[2].children[1].id, g_variant_new_string("")));
    EXPECT_EQ(target->performed.back(), "channelSelected: 3 Zelna Pulse");

    EXPECT_TRUE(click(root.children[4].id));
    EXPECT_EQ(application->performed, std::vector<std::string> { "terminate: 0 Quit ZelnaMenu" })
        << "an item without a target goes to the application";

    // Not clicks, or items that cannot act: answered, and nothing performed.
    EXPECT_TRUE(call("Event", g_variant_new("(isvu)", root.children[0].id, "hovered", g_variant_new_int32(0), 0u)));
    EXPECT_TRUE(call("Event", g_variant_new("(isvu)", root.children[0].id, "opened", g_variant_new_int32(0), 0u)));
    EXPECT_TRUE(click(root.children[1].id));
    EXPECT_TRUE(click(root.children[2].id));
    EXPECT_TRUE(click(root.children[2].children[0].id)) << "its target does not answer: nothing runs";
    EXPECT_TRUE(click(root.children[3].id));
    EXPECT_TRUE(click(0));
    EXPECT_EQ(target->performed.size(), 2u);
    EXPECT_EQ(application->performed.size(), 1u);
}

TEST_F(DbusMenuExporterTest, EventGroupPerformsClicksWithAnyDataAndReportsUnknownIds)
{
    exporter.setMenu(sampleMenu());
    const LayoutNode root = layout();
    const std::int32_t primeId = root.children[0].id;
    const std::int32_t pulseId = root.children[2].children[1].id;

    GVariantBuilder events;
    g_variant_builder_init(&events, G_VARIANT_TYPE("a(isvu)"));
    g_variant_builder_add(&events, "(isvu)", primeId, "clicked", g_variant_new_int32(0), 952688u);
    g_variant_builder_add(&events, "(isvu)", 4242, "clicked", g_variant_new_int32(0), 0u);
    g_variant_builder_add(&events, "(isvu)", pulseId, "clicked", g_variant_new_string(""), 0u);
    g_variant_builder_add(&events, "(isvu)", root.children[2].id, "closed", g_variant_new_int32(0), 0u);
    auto reply = call("EventGroup", g_variant_new("(@a(isvu))", g_variant_builder_end(&events)));
    ASSERT_TRUE(reply) << reply.error;
    GUniquePtr<gchar> idErrors(g_variant_print(reply.value.get(), FALSE));
    EXPECT_STREQ(idErrors.get(), "([4242],)");
    EXPECT_EQ(target->performed,
        (std::vector<std::string> { "channelSelected: 7 Zelna_Prime", "channelSelected: 3 Zelna Pulse" }));

    GVariantBuilder unknown;
    g_variant_builder_init(&unknown, G_VARIANT_TYPE("a(isvu)"));
    g_variant_builder_add(&unknown, "(isvu)", 4242, "clicked", g_variant_new_int32(0), 0u);
    EXPECT_FALSE(call("EventGroup", g_variant_new("(@a(isvu))", g_variant_builder_end(&unknown))))
        << "a group of unknown ids alone is an error";
}

TEST_F(DbusMenuExporterTest, EveryMenuIsANewRevisionWithFreshIds)
{
    SignalRecorder signals(m_clientConnection.get(), m_server, menuPath);
    exporter.setMenu(sampleMenu());
    const LayoutNode first = layout();
    exporter.setMenu(sampleMenu("Zelna Aria"));
    const LayoutNode second = layout();

    ASSERT_TRUE(runMainLoopUntil([&] { return signals.count("LayoutUpdated") == 2; }));
    GUniquePtr<gchar> lastUpdate(g_variant_print(signals.last("LayoutUpdated"), FALSE));
    EXPECT_STREQ(lastUpdate.get(), "(2, 0)");

    EXPECT_EQ(second.children[0].string("label"), "Zelna Aria");
    EXPECT_EQ(second.id, 0);
    for (const auto& old : first.children) {
        for (const auto& current : second.children)
            EXPECT_NE(old.id, current.id);
    }

    // A click meant for the previous layout finds nothing, by Event or by EventGroup.
    auto stale = click(first.children[0].id);
    EXPECT_FALSE(stale);
    EXPECT_NE(stale.error.find("InvalidArgs"), std::string::npos) << stale.error;
    GVariantBuilder events;
    g_variant_builder_init(&events, G_VARIANT_TYPE("a(isvu)"));
    g_variant_builder_add(&events, "(isvu)", first.children[0].id, "clicked", g_variant_new_int32(0), 0u);
    EXPECT_FALSE(call("EventGroup", g_variant_new("(@a(isvu))", g_variant_builder_end(&events))));
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
    EXPECT_EQ(layout().children[0].string("label"), "Rebuilt");
}
