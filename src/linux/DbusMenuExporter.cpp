#include "linux/DbusMenuExporter.h"

#include <algorithm>
#include <iostream>
#include <limits>

namespace {

constexpr const char* interfaceName = "com.canonical.dbusmenu";
// Clients switch to EventGroup and AboutToShowGroup from version 3 on; both call sets are served.
constexpr std::uint32_t dbusmenuVersion = 3;

constexpr const char* introspectionXml = R"XML(<node>
  <interface name="com.canonical.dbusmenu">
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
    <method name="GetLayout">
      <arg type="i" name="parentId" direction="in"/>
      <arg type="i" name="recursionDepth" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="u" name="revision" direction="out"/>
      <arg type="(ia{sv}av)" name="layout" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="a(ia{sv})" name="properties" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="name" direction="in"/>
      <arg type="v" name="value" direction="out"/>
    </method>
    <method name="Event">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="eventId" direction="in"/>
      <arg type="v" name="data" direction="in"/>
      <arg type="u" name="timestamp" direction="in"/>
    </method>
    <method name="EventGroup">
      <arg type="a(isvu)" name="events" direction="in"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg type="i" name="id" direction="in"/>
      <arg type="b" name="needUpdate" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="ai" name="updatesNeeded" direction="out"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg type="a(ia{sv})" name="updatedProps"/>
      <arg type="a(ias)" name="removedProps"/>
    </signal>
    <signal name="LayoutUpdated">
      <arg type="u" name="revision"/>
      <arg type="i" name="parent"/>
    </signal>
    <signal name="ItemActivationRequested">
      <arg type="i" name="id"/>
      <arg type="u" name="timestamp"/>
    </signal>
  </interface>
</node>)XML";

std::vector<std::string> stringsOf(GVariant* array)
{
    std::vector<std::string> strings;
    const gsize count = g_variant_n_children(array);
    for (gsize index = 0; index < count; ++index) {
        const char* text = nullptr;
        g_variant_get_child(array, index, "&s", &text);
        strings.emplace_back(text);
    }
    return strings;
}

std::vector<std::int32_t> idsOf(GVariant* array)
{
    gsize count = 0;
    const auto* ids = static_cast<const std::int32_t*>(g_variant_get_fixed_array(array, &count, sizeof(std::int32_t)));
    return std::vector<std::int32_t>(ids, ids + count);
}

GVariant* idArray(const std::vector<std::int32_t>& ids)
{
    return g_variant_new_fixed_array(G_VARIANT_TYPE_INT32, ids.data(), ids.size(), sizeof(std::int32_t));
}

} // namespace

std::string dbusmenuLabel(std::string_view title)
{
    std::string label;
    label.reserve(title.size());
    for (char c : title) {
        label.push_back(c);
        if (c == '_')
            label.push_back('_');
    }
    return label;
}

std::vector<std::vector<std::string>> dbusmenuShortcut(std::string_view keyEquivalent, std::uint64_t modifierMask)
{
    if (keyEquivalent.empty())
        return {};
    std::vector<std::string> chord;
    // The Command key's role (application shortcuts) belongs to Control on Linux desktops.
    if (modifierMask & (NSEventModifierFlagCommand | NSEventModifierFlagControl))
        chord.emplace_back("Control");
    if (modifierMask & NSEventModifierFlagOption)
        chord.emplace_back("Alt");
    std::string key(keyEquivalent);
    // An upper-case key equivalent implies Shift; the key itself is named by its lower-case keysym.
    const bool isUpperCaseLetter = key.size() == 1 && key[0] >= 'A' && key[0] <= 'Z';
    if (modifierMask & NSEventModifierFlagShift || isUpperCaseLetter)
        chord.emplace_back("Shift");
    if (isUpperCaseLetter)
        key[0] = static_cast<char>(key[0] - 'A' + 'a');
    chord.push_back(std::move(key));
    return { std::move(chord) };
}

DbusMenuExporter::DbusMenuExporter(
    GDBusConnection* connection, std::string objectPath, std::shared_ptr<ActionTarget> application)
    : m_connection(GRefPtr<GDBusConnection>::share(connection))
    , m_objectPath(std::move(objectPath))
    , m_application(std::move(application))
    , m_nodeInfo(g_dbus_node_info_new_for_xml(introspectionXml, nullptr))
{
    m_entries[0] = Entry {};

    static const GDBusInterfaceVTable vtable = { handleMethodCall, handleGetProperty, nullptr, {} };
    GUniqueOutPtr<GError> error;
    m_registrationId = g_dbus_connection_register_object(
        m_connection.get(), m_objectPath.c_str(), m_nodeInfo->interfaces[0], &vtable, this, nullptr, &error.outPtr());
    if (!m_registrationId)
        std::cerr << "zelnamenu: the menu is not exported at " << m_objectPath << ": " << errorMessage(error.get())
                  << '\n';
}

DbusMenuExporter::~DbusMenuExporter()
{
    if (m_registrationId)
        g_dbus_connection_unregister_object(m_connection.get(), m_registrationId);
}

void DbusMenuExporter::setMenu(std::shared_ptr<Menu> menu)
{
    m_entries.clear();
    m_entries[0] = Entry {};
    m_menu = std::move(menu);
    if (m_menu)
        addEntries(0, *m_menu);
    ++m_revision;
    if (m_registrationId)
        g_dbus_connection_emit_signal(m_connection.get(), nullptr, m_objectPath.c_str(), interfaceName, "LayoutUpdated",
            g_variant_new("(ui)", m_revision, 0), nullptr);
}

void DbusMenuExporter::addEntries(std::int32_t parentId, Menu& menu)
{
    for (auto& item : menu.items()) {
        const std::int32_t id = takeId();
        m_entries[id] = Entry { &item, {} };
        m_entries[parentId].children.push_back(id);
        if (item.submenu)
            addEntries(id, *item.submenu);
    }
}

std::int32_t DbusMenuExporter::takeId()
{
    // Ids only grow, so an id from an older layout never names an item of a newer one.
    const std::int32_t id = m_nextId;
    m_nextId = m_nextId == std::numeric_limits<std::int32_t>::max() ? 1 : m_nextId + 1;
    return id;
}

const DbusMenuExporter::Entry* DbusMenuExporter::entry(std::int32_t id) const
{
    auto found = m_entries.find(id);
    return found == m_entries.end() ? nullptr : &found->second;
}

GVariant* DbusMenuExporter::properties(const Entry& entry, const std::vector<std::string>& names) const
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    // Values are made only when asked for, so that no floating value is left unused.
    auto add = [&](const char* name, auto makeValue) {
        if (names.empty() || std::find(names.begin(), names.end(), name) != names.end())
            g_variant_builder_add(&builder, "{sv}", name, makeValue());
    };

    if (!entry.item) {
        add("children-display", [] { return g_variant_new_string("submenu"); });
        return g_variant_builder_end(&builder);
    }

    const MenuItem& item = *entry.item;
    if (item.isSeparator())
        add("type", [] { return g_variant_new_string("separator"); });
    add("label", [&] { return g_variant_new_string(dbusmenuLabel(item.title).c_str()); });
    add("enabled", [&] { return g_variant_new_boolean(isEnabled(item, m_application)); });
    add("visible", [] { return g_variant_new_boolean(TRUE); });
    if (item.state == NSControlStateValueOn) {
        add("toggle-type", [] { return g_variant_new_string("checkmark"); });
        add("toggle-state", [] { return g_variant_new_int32(1); });
    }
    if (auto shortcut = dbusmenuShortcut(item.keyEquivalent, item.keyEquivalentModifierMask); !shortcut.empty()) {
        add("shortcut", [&] {
            GVariantBuilder chords;
            g_variant_builder_init(&chords, G_VARIANT_TYPE("aas"));
            for (const auto& chord : shortcut) {
                GVariantBuilder keys;
                g_variant_builder_init(&keys, G_VARIANT_TYPE_STRING_ARRAY);
                for (const auto& key : chord)
                    g_variant_builder_add(&keys, "s", key.c_str());
                g_variant_builder_add_value(&chords, g_variant_builder_end(&keys));
            }
            return g_variant_builder_end(&chords);
        });
    }
    if (item.submenu)
        add("children-display", [] { return g_variant_new_string("submenu"); });
    return g_variant_builder_end(&builder);
}

GVariant* DbusMenuExporter::layout(
    std::int32_t id, const Entry& entry, int depth, const std::vector<std::string>& names) const
{
    GVariantBuilder children;
    g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
    if (depth != 0) {
        for (std::int32_t childId : entry.children) {
            // Each child is one variant holding (ia{sv}av), wrapped exactly once: a doubly
            // wrapped child crashes libdbusmenu-based hosts.
            g_variant_builder_add(&children, "v", layout(childId, *this->entry(childId), depth - 1, names));
        }
    }
    return g_variant_new("(i@a{sv}@av)", id, properties(entry, names), g_variant_builder_end(&children));
}

void DbusMenuExporter::returnUnknownId(GDBusMethodInvocation* invocation, std::int32_t id) const
{
    g_dbus_method_invocation_return_error(
        invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "No menu item with id %d", id);
}

void DbusMenuExporter::getLayout(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    std::int32_t parentId = 0;
    std::int32_t depth = -1;
    g_variant_get_child(parameters, 0, "i", &parentId);
    g_variant_get_child(parameters, 1, "i", &depth);
    GUniquePtr<GVariant> names(g_variant_get_child_value(parameters, 2));
    const Entry* parent = entry(parentId);
    if (!parent)
        return returnUnknownId(invocation, parentId);
    // Any negative depth means the whole tree below the parent.
    const int levels = depth < 0 ? -1 : depth;
    g_dbus_method_invocation_return_value(invocation,
        g_variant_new("(u@(ia{sv}av))", m_revision, layout(parentId, *parent, levels, stringsOf(names.get()))));
}

void DbusMenuExporter::getGroupProperties(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    GUniquePtr<GVariant> idsVariant(g_variant_get_child_value(parameters, 0));
    GUniquePtr<GVariant> namesVariant(g_variant_get_child_value(parameters, 1));
    auto ids = idsOf(idsVariant.get());
    const auto names = stringsOf(namesVariant.get());
    if (ids.empty()) {
        for (const auto& [id, ignored] : m_entries)
            ids.push_back(id);
    }

    GVariantBuilder result;
    g_variant_builder_init(&result, G_VARIANT_TYPE("a(ia{sv})"));
    for (std::int32_t id : ids) {
        if (const Entry* found = entry(id))
            g_variant_builder_add(&result, "(i@a{sv})", id, properties(*found, names));
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(@a(ia{sv}))", g_variant_builder_end(&result)));
}

void DbusMenuExporter::getProperty(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    std::int32_t id = 0;
    const char* name = nullptr;
    g_variant_get(parameters, "(i&s)", &id, &name);
    const Entry* found = entry(id);
    if (!found)
        return returnUnknownId(invocation, id);
    GUniquePtr<GVariant> all(g_variant_ref_sink(properties(*found, { name })));
    GUniquePtr<GVariant> value(g_variant_lookup_value(all.get(), name, nullptr));
    if (!value) {
        g_dbus_method_invocation_return_error(
            invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "Menu item %d has no property %s", id, name);
        return;
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value.get()));
}

void DbusMenuExporter::event(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    std::int32_t id = 0;
    const char* eventIdText = nullptr;
    g_variant_get_child(parameters, 0, "i", &id);
    g_variant_get_child(parameters, 1, "&s", &eventIdText);
    const std::string eventId(eventIdText);
    if (!entry(id))
        return returnUnknownId(invocation, id);
    // The reply goes first: the action may take a while, or quit the program.
    g_dbus_method_invocation_return_value(invocation, nullptr);
    handleEvent(id, eventId);
}

void DbusMenuExporter::eventGroup(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    GUniquePtr<GVariant> events(g_variant_get_child_value(parameters, 0));
    std::vector<std::pair<std::int32_t, std::string>> known;
    std::vector<std::int32_t> idErrors;
    const gsize count = g_variant_n_children(events.get());
    for (gsize index = 0; index < count; ++index) {
        std::int32_t id = 0;
        const char* eventId = nullptr;
        g_variant_get_child(events.get(), index, "(i&svu)", &id, &eventId, nullptr, nullptr);
        if (entry(id))
            known.emplace_back(id, eventId);
        else
            idErrors.push_back(id);
    }
    if (count > 0 && known.empty()) {
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
            "None of the %zu menu item ids is known", static_cast<std::size_t>(count));
        return;
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(@ai)", idArray(idErrors)));
    // An earlier click may rebuild the menu; later events of the group then find their ids stale.
    for (const auto& [id, eventId] : known)
        handleEvent(id, eventId);
}

void DbusMenuExporter::aboutToShow(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    std::int32_t id = 0;
    g_variant_get(parameters, "(i)", &id);
    if (!entry(id))
        return returnUnknownId(invocation, id);
    // The exported layout is always current: nothing needs refreshing before a menu opens.
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
}

void DbusMenuExporter::aboutToShowGroup(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    GUniquePtr<GVariant> idsVariant(g_variant_get_child_value(parameters, 0));
    std::vector<std::int32_t> idErrors;
    for (std::int32_t id : idsOf(idsVariant.get())) {
        if (!entry(id))
            idErrors.push_back(id);
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(@ai@ai)", idArray({}), idArray(idErrors)));
}

void DbusMenuExporter::handleEvent(std::int32_t id, std::string_view eventId)
{
    if (eventId != "clicked")
        return;
    const Entry* found = entry(id);
    if (!found || !found->item)
        return;
    MenuItem* item = found->item;
    // The action may replace the menu; the chosen item must outlive the action all the same.
    auto keepAlive = m_menu;
    sendAction(*item, m_application);
}

void DbusMenuExporter::handleMethodCall(GDBusConnection*, const char*, const char*, const char*, const char* methodName,
    GVariant* parameters, GDBusMethodInvocation* invocation, void* userData)
{
    auto* self = static_cast<DbusMenuExporter*>(userData);
    const std::string_view method = methodName;
    if (method == "GetLayout")
        self->getLayout(parameters, invocation);
    else if (method == "GetGroupProperties")
        self->getGroupProperties(parameters, invocation);
    else if (method == "GetProperty")
        self->getProperty(parameters, invocation);
    else if (method == "Event")
        self->event(parameters, invocation);
    else if (method == "EventGroup")
        self->eventGroup(parameters, invocation);
    else if (method == "AboutToShow")
        self->aboutToShow(parameters, invocation);
    else if (method == "AboutToShowGroup")
        self->aboutToShowGroup(parameters, invocation);
    else
        g_dbus_method_invocation_return_error(
            invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD, "No method %s", methodName);
}

GVariant* DbusMenuExporter::handleGetProperty(
    GDBusConnection*, const char*, const char*, const char*, const char* propertyName, GError** error, void*)
{
    const std::string_view property = propertyName;
    if (property == "Version")
        return g_variant_new_uint32(dbusmenuVersion);
    if (property == "TextDirection")
        return g_variant_new_string("ltr");
    if (property == "Status")
        return g_variant_new_string("normal");
    if (property == "IconThemePath")
        return g_variant_new_strv(nullptr, 0);
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", propertyName);
    return nullptr;
}
