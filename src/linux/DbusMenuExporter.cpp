#include "linux/DbusMenuExporter.h"

#include "linux/support/Failure.h"
#include "linux/support/Log.h"

#include <array>
#include <limits>
#include <unordered_set>

namespace {

constexpr const char* interfaceName = "com.canonical.dbusmenu";
// Clients switch to EventGroup and AboutToShowGroup from version 3 on; both call sets are served.
constexpr std::uint32_t dbusmenuVersion = 3;
// The one event that acts; hosts also send "hovered", "opened" and "closed".
constexpr std::string_view clickedEvent = "clicked";

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

// Hosts name a few hundred items at most; a call with a longer list is refused before it reaches
// the main loop, so that no single call can hold the loop for more than a moment.
constexpr gsize maximumListLength = 1024;

/// The ids of an `ai` argument in their order, each once.
std::vector<std::int32_t> uniqueIdsOf(GVariant* array)
{
    gsize count = 0;
    const auto* ids = static_cast<const std::int32_t*>(g_variant_get_fixed_array(array, &count, sizeof(std::int32_t)));
    std::vector<std::int32_t> unique;
    std::unordered_set<std::int32_t> seen;
    for (gsize index = 0; index < count; ++index) {
        if (seen.insert(ids[index]).second)
            unique.push_back(ids[index]);
    }
    return unique;
}

// Every property an item can have. A set of them is a mask with bit i for itemProperties[i].
constexpr std::array<std::string_view, 8> itemProperties
    = { "type", "label", "enabled", "visible", "toggle-type", "toggle-state", "shortcut", "children-display" };
constexpr std::uint32_t everyProperty = (1U << itemProperties.size()) - 1;

std::uint32_t propertyBit(std::string_view name)
{
    for (std::size_t index = 0; index < itemProperties.size(); ++index) {
        if (itemProperties[index] == name)
            return 1U << index;
    }
    return 0;
}

/// The properties an `as` argument asks for: all of them when it is empty. Names no item has are
/// left out.
std::uint32_t requestedProperties(GVariant* names)
{
    const gsize count = g_variant_n_children(names);
    if (count == 0)
        return everyProperty;
    std::uint32_t requested = 0;
    for (gsize index = 0; index < count; ++index) {
        const char* name = nullptr;
        g_variant_get_child(names, index, "&s", &name);
        requested |= propertyBit(name);
    }
    return requested;
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

    m_filterId
        = g_dbus_connection_add_filter(m_connection.get(), refuseOverlongLists, g_strdup(m_objectPath.c_str()), g_free);

    static const GDBusInterfaceVTable vtable = { handleMethodCall, handleGetProperty, nullptr, {} };
    GUniqueOutPtr<GError> error;
    m_registrationId = g_dbus_connection_register_object(
        m_connection.get(), m_objectPath.c_str(), m_nodeInfo->interfaces[0], &vtable, this, nullptr, &error.outPtr());
    if (!m_registrationId)
        logLine("the menu is not exported at %s: %s", m_objectPath.c_str(), Failure::from(error.get()).message.c_str());
}

DbusMenuExporter::~DbusMenuExporter()
{
    g_dbus_connection_remove_filter(m_connection.get(), m_filterId);
    if (m_registrationId)
        g_dbus_connection_unregister_object(m_connection.get(), m_registrationId);
}

GDBusMessage* DbusMenuExporter::refuseOverlongLists(
    GDBusConnection* connection, GDBusMessage* message, gboolean isIncoming, void* objectPath)
{
    if (!isIncoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL
        || g_strcmp0(g_dbus_message_get_path(message), static_cast<const char*>(objectPath)) != 0)
        return message;
    GVariant* arguments = g_dbus_message_get_body(message);
    const gsize count = arguments ? g_variant_n_children(arguments) : 0;
    for (gsize index = 0; index < count; ++index) {
        GUniquePtr<GVariant> argument(g_variant_get_child_value(arguments, index));
        const gsize length = g_variant_is_container(argument.get()) ? g_variant_n_children(argument.get()) : 0;
        if (length <= maximumListLength)
            continue;
        if (!(g_dbus_message_get_flags(message) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED)) {
            GUniquePtr<gchar> text(g_strdup_printf("A list of at most %zu elements is taken, not %zu",
                static_cast<std::size_t>(maximumListLength), static_cast<std::size_t>(length)));
            auto reply = GRefPtr<GDBusMessage>::adopt(g_dbus_message_new_method_error_literal(
                message, "org.freedesktop.DBus.Error.LimitsExceeded", text.get()));
            g_dbus_connection_send_message(connection, reply.get(), G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
        }
        // Dropped here, so its elements are freed on this thread too.
        g_object_unref(message);
        return nullptr;
    }
    return message;
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
    // Ids grow, and wrap only after 2^31 - 1 items (years of rebuilds), so an id from an older
    // layout never names an item of a newer one.
    const std::int32_t id = m_nextId;
    m_nextId = m_nextId == std::numeric_limits<std::int32_t>::max() ? 1 : m_nextId + 1;
    return id;
}

const DbusMenuExporter::Entry* DbusMenuExporter::entry(std::int32_t id) const
{
    auto found = m_entries.find(id);
    return found == m_entries.end() ? nullptr : &found->second;
}

GVariant* DbusMenuExporter::properties(const Entry& entry, std::uint32_t requested) const
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    // Values are made only when asked for, so that no floating value is left unused.
    auto add = [&](const char* name, auto makeValue) {
        if (requested & propertyBit(name))
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

GVariant* DbusMenuExporter::layout(std::int32_t id, const Entry& entry, int depth, std::uint32_t requested) const
{
    GVariantBuilder children;
    g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
    if (depth != 0) {
        for (std::int32_t childId : entry.children) {
            // Each child is one variant holding (ia{sv}av), wrapped exactly once: a doubly
            // wrapped child crashes libdbusmenu-based hosts.
            g_variant_builder_add(&children, "v", layout(childId, *this->entry(childId), depth - 1, requested));
        }
    }
    return g_variant_new("(i@a{sv}@av)", id, properties(entry, requested), g_variant_builder_end(&children));
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
        g_variant_new(
            "(u@(ia{sv}av))", m_revision, layout(parentId, *parent, levels, requestedProperties(names.get()))));
}

void DbusMenuExporter::getGroupProperties(GVariant* parameters, GDBusMethodInvocation* invocation)
{
    GUniquePtr<GVariant> idsVariant(g_variant_get_child_value(parameters, 0));
    GUniquePtr<GVariant> namesVariant(g_variant_get_child_value(parameters, 1));
    // Each item is answered once however often it is named: the reply is bounded by the menu.
    auto ids = uniqueIdsOf(idsVariant.get());
    const std::uint32_t requested = requestedProperties(namesVariant.get());
    if (ids.empty()) {
        for (const auto& [id, ignored] : m_entries)
            ids.push_back(id);
    }

    GVariantBuilder result;
    g_variant_builder_init(&result, G_VARIANT_TYPE("a(ia{sv})"));
    for (std::int32_t id : ids) {
        if (const Entry* found = entry(id))
            g_variant_builder_add(&result, "(i@a{sv})", id, properties(*found, requested));
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
    GUniquePtr<GVariant> all(g_variant_ref_sink(properties(*found, propertyBit(name))));
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
    // Only clicks act, each item's once, so that a group cannot replay one click many times.
    std::vector<std::int32_t> clicked;
    std::vector<std::int32_t> idErrors;
    std::unordered_set<std::int32_t> clickedIds;
    std::unordered_set<std::int32_t> unknownIds;
    bool hasKnownId = false;
    const gsize count = g_variant_n_children(events.get());
    for (gsize index = 0; index < count; ++index) {
        std::int32_t id = 0;
        const char* eventId = nullptr;
        g_variant_get_child(events.get(), index, "(i&svu)", &id, &eventId, nullptr, nullptr);
        if (!entry(id)) {
            if (unknownIds.insert(id).second)
                idErrors.push_back(id);
            continue;
        }
        hasKnownId = true;
        if (eventId == clickedEvent && clickedIds.insert(id).second)
            clicked.push_back(id);
    }
    if (count > 0 && !hasKnownId) {
        g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
            "None of the %zu menu item ids is known", static_cast<std::size_t>(count));
        return;
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(@ai)", idArray(idErrors)));
    // An earlier click may rebuild the menu; later events of the group then find their ids stale.
    for (std::int32_t id : clicked)
        handleEvent(id, clickedEvent);
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
    for (std::int32_t id : uniqueIdsOf(idsVariant.get())) {
        if (!entry(id))
            idErrors.push_back(id);
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(@ai@ai)", idArray({}), idArray(idErrors)));
}

void DbusMenuExporter::handleEvent(std::int32_t id, std::string_view eventId)
{
    if (eventId != clickedEvent)
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
    else if (method == "AboutToShow" || method == "AboutToShowGroup") {
        method == "AboutToShow" ? self->aboutToShow(parameters, invocation)
                                : self->aboutToShowGroup(parameters, invocation);
        if (self->onAboutToShow)
            self->onAboutToShow();
    } else
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
