// The least a status item can do, as the floor for ZelnaMenu's start: plain GIO, no toolkit, no
// program of its own behind it. It exports a StatusNotifierItem with one fixed 22 × 22 pixmap and a
// dbusmenu with one item, and registers with the watcher as soon as the watcher is seen. It quits
// on SIGINT, SIGTERM or a click on its item.

#include <gio/gio.h>
#include <glib-unix.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

namespace {

constexpr const char* itemXml = R"XML(<node><interface name="org.kde.StatusNotifierItem">
  <property name="Category" type="s" access="read"/><property name="Id" type="s" access="read"/>
  <property name="Title" type="s" access="read"/><property name="Status" type="s" access="read"/>
  <property name="ItemIsMenu" type="b" access="read"/><property name="Menu" type="o" access="read"/>
  <property name="IconPixmap" type="a(iiay)" access="read"/>
  <method name="Activate"><arg type="i" direction="in"/><arg type="i" direction="in"/></method>
  <signal name="NewIcon"/></interface></node>)XML";

constexpr const char* menuXml = R"XML(<node><interface name="com.canonical.dbusmenu">
  <property name="Version" type="u" access="read"/>
  <method name="GetLayout"><arg type="i" direction="in"/><arg type="i" direction="in"/>
    <arg type="as" direction="in"/><arg type="u" direction="out"/><arg type="(ia{sv}av)" direction="out"/></method>
  <method name="GetGroupProperties"><arg type="ai" direction="in"/><arg type="as" direction="in"/>
    <arg type="a(ia{sv})" direction="out"/></method>
  <method name="Event"><arg type="i" direction="in"/><arg type="s" direction="in"/><arg type="v" direction="in"/>
    <arg type="u" direction="in"/></method>
  <method name="AboutToShow"><arg type="i" direction="in"/><arg type="b" direction="out"/></method>
  <signal name="LayoutUpdated"><arg type="u"/><arg type="i"/></signal></interface></node>)XML";

constexpr int iconSize = 22;

struct Floor {
    GMainLoop* loop = nullptr;
    GDBusConnection* connection = nullptr;
};

GVariant* itemProperties(int id)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    if (id == 0) {
        g_variant_builder_add(&builder, "{sv}", "children-display", g_variant_new_string("submenu"));
    } else {
        g_variant_builder_add(&builder, "{sv}", "label", g_variant_new_string("Quit"));
        g_variant_builder_add(&builder, "{sv}", "enabled", g_variant_new_boolean(TRUE));
    }
    return g_variant_builder_end(&builder);
}

GVariant* pixmaps()
{
    // An opaque mid-grey square: A, R, G, B per pixel.
    static const std::vector<std::uint8_t> argb = [] {
        std::vector<std::uint8_t> bytes;
        for (int pixel = 0; pixel < iconSize * iconSize; ++pixel)
            bytes.insert(bytes.end(), {0xff, 0x80, 0x80, 0x80});
        return bytes;
    }();
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
    g_variant_builder_add(&builder, "(ii@ay)", iconSize, iconSize,
                          g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, argb.data(), argb.size(), 1));
    return g_variant_builder_end(&builder);
}

GVariant* itemProperty(GDBusConnection*, const char*, const char*, const char*, const char* name, GError** error,
                       gpointer)
{
    const std::string_view property = name;
    if (property == "Category")
        return g_variant_new_string("ApplicationStatus");
    if (property == "Id")
        return g_variant_new_string("floor");
    if (property == "Title")
        return g_variant_new_string("Floor");
    if (property == "Status")
        return g_variant_new_string("Active");
    if (property == "ItemIsMenu")
        return g_variant_new_boolean(TRUE);
    if (property == "Menu")
        return g_variant_new_object_path("/MenuBar");
    if (property == "IconPixmap")
        return pixmaps();
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", name);
    return nullptr;
}

void itemMethod(GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
                GDBusMethodInvocation* invocation, gpointer)
{
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.NotSupported",
                                               "The item is a menu");
}

GVariant* menuProperty(GDBusConnection*, const char*, const char*, const char*, const char*, GError**, gpointer)
{
    return g_variant_new_uint32(3);
}

void menuMethod(GDBusConnection*, const char*, const char*, const char*, const char* method, GVariant* parameters,
                GDBusMethodInvocation* invocation, gpointer userData)
{
    const std::string_view name = method;
    if (name == "GetLayout") {
        GVariantBuilder children;
        g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
        g_variant_builder_add(&children, "v", g_variant_new("(i@a{sv}@av)", 1, itemProperties(1),
                                                            g_variant_new_array(G_VARIANT_TYPE_VARIANT, nullptr, 0)));
        g_dbus_method_invocation_return_value(
            invocation, g_variant_new("(u(i@a{sv}@av))", 1U, 0, itemProperties(0), g_variant_builder_end(&children)));
    } else if (name == "GetGroupProperties") {
        GVariantBuilder result;
        g_variant_builder_init(&result, G_VARIANT_TYPE("a(ia{sv})"));
        for (int id : {0, 1})
            g_variant_builder_add(&result, "(i@a{sv})", id, itemProperties(id));
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(@a(ia{sv}))", g_variant_builder_end(&result)));
    } else if (name == "AboutToShow") {
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
    } else {
        const char* event = nullptr;
        g_variant_get_child(parameters, 1, "&s", &event);
        g_dbus_method_invocation_return_value(invocation, nullptr);
        if (std::string_view(event) == "clicked")
            g_main_loop_quit(static_cast<Floor*>(userData)->loop);
    }
}

void watcherAppeared(GDBusConnection* connection, const char*, const char*, gpointer)
{
    g_dbus_connection_call(connection, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                           "org.kde.StatusNotifierWatcher", "RegisterStatusNotifierItem",
                           g_variant_new("(s)", "/StatusNotifierItem"), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                           nullptr, nullptr);
}

gboolean quit(gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_CONTINUE;
}

} // namespace

int main()
{
    GError* error = nullptr;
    Floor floor;
    floor.connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!floor.connection) {
        std::fprintf(stderr, "status-item-floor: no session bus: %s\n", error->message);
        return 1;
    }
    floor.loop = g_main_loop_new(nullptr, FALSE);
    GDBusNodeInfo* item = g_dbus_node_info_new_for_xml(itemXml, nullptr);
    GDBusNodeInfo* menu = g_dbus_node_info_new_for_xml(menuXml, nullptr);
    static const GDBusInterfaceVTable itemTable{itemMethod, itemProperty, nullptr, {}};
    static const GDBusInterfaceVTable menuTable{menuMethod, menuProperty, nullptr, {}};
    g_dbus_connection_register_object(floor.connection, "/StatusNotifierItem", item->interfaces[0], &itemTable,
                                      &floor, nullptr, nullptr);
    g_dbus_connection_register_object(floor.connection, "/MenuBar", menu->interfaces[0], &menuTable, &floor, nullptr,
                                      nullptr);
    g_bus_watch_name_on_connection(floor.connection, "org.kde.StatusNotifierWatcher", G_BUS_NAME_WATCHER_FLAGS_NONE,
                                   watcherAppeared, nullptr, nullptr, nullptr);
    g_unix_signal_add(SIGINT, quit, floor.loop);
    g_unix_signal_add(SIGTERM, quit, floor.loop);
    g_main_loop_run(floor.loop);
    return 0;
}
