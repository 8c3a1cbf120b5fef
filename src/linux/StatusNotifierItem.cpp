#include "linux/StatusNotifierItem.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

constexpr const char* itemInterface = "org.kde.StatusNotifierItem";
constexpr const char* watcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* watcherPath = "/StatusNotifierWatcher";

constexpr const char* introspectionXml = R"XML(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="XAyatanaLabel" type="s" access="read"/>
    <property name="XAyatanaLabelGuide" type="s" access="read"/>
    <method name="ContextMenu">
      <arg name="x" type="i" direction="in"/>
      <arg name="y" type="i" direction="in"/>
    </method>
    <method name="Activate">
      <arg name="x" type="i" direction="in"/>
      <arg name="y" type="i" direction="in"/>
    </method>
    <method name="SecondaryActivate">
      <arg name="x" type="i" direction="in"/>
      <arg name="y" type="i" direction="in"/>
    </method>
    <method name="Scroll">
      <arg name="delta" type="i" direction="in"/>
      <arg name="orientation" type="s" direction="in"/>
    </method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus">
      <arg name="status" type="s"/>
    </signal>
    <signal name="XAyatanaNewLabel">
      <arg name="label" type="s"/>
      <arg name="guide" type="s"/>
    </signal>
  </interface>
</node>)XML";

// Hosts pick the pixmap nearest their cell size; these cover ordinary and doubled screens.
constexpr double pixmapScales[] = { 1.0, 2.0 };

std::string iconDirectory()
{
    // Read afresh rather than through g_get_user_runtime_dir(), which keeps its first answer.
    const char* runtimeDirectory = std::getenv("XDG_RUNTIME_DIR");
    const std::string base = runtimeDirectory && *runtimeDirectory ? runtimeDirectory : g_get_user_cache_dir();
    return base + "/zelnamenu";
}

} // namespace

Bitmap squareCanvas(const Bitmap& bitmap)
{
    const int width = std::max(bitmap.width, 0);
    const int height = std::max(bitmap.height, 0);
    const int side = std::max({ width, height, 1 });
    Bitmap square { side, side,
        std::vector<std::uint32_t>(static_cast<std::size_t>(side) * static_cast<std::size_t>(side), 0) };
    if (bitmap.pixels.size() < static_cast<std::size_t>(width) * static_cast<std::size_t>(height))
        return square;
    const int left = (side - width) / 2;
    const int top = (side - height) / 2;
    for (int row = 0; row < height; ++row) {
        auto source = bitmap.pixels.begin() + static_cast<std::ptrdiff_t>(row) * width;
        auto target = square.pixels.begin() + static_cast<std::ptrdiff_t>(top + row) * side + left;
        std::copy(source, source + width, target);
    }
    return square;
}

IconPixmap iconPixmap(const Bitmap& bitmap)
{
    IconPixmap pixmap { bitmap.width, bitmap.height, {} };
    pixmap.argb.reserve(bitmap.pixels.size() * 4);
    // Cairo stores alpha premultiplied in native-endian words; hosts read straight alpha in
    // network byte order.
    auto unpremultiply = [](std::uint32_t component, std::uint32_t alpha) {
        return static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (component * 255 + alpha / 2) / alpha));
    };
    for (std::uint32_t pixel : bitmap.pixels) {
        const std::uint32_t alpha = pixel >> 24;
        if (alpha == 0) {
            pixmap.argb.insert(pixmap.argb.end(), { 0, 0, 0, 0 });
            continue;
        }
        pixmap.argb.push_back(static_cast<std::uint8_t>(alpha));
        pixmap.argb.push_back(unpremultiply((pixel >> 16) & 0xff, alpha));
        pixmap.argb.push_back(unpremultiply((pixel >> 8) & 0xff, alpha));
        pixmap.argb.push_back(unpremultiply(pixel & 0xff, alpha));
    }
    return pixmap;
}

StatusNotifierItem::StatusNotifierItem(
    GDBusConnection* connection, std::shared_ptr<ActionTarget> application, std::string itemPath, std::string menuPath)
    : m_connection(GRefPtr<GDBusConnection>::share(connection))
    , m_itemPath(std::move(itemPath))
    , m_menu(connection, std::move(menuPath), std::move(application))
    , m_nodeInfo(g_dbus_node_info_new_for_xml(introspectionXml, nullptr))
    , m_cancellable(GRefPtr<GCancellable>::adopt(g_cancellable_new()))
    , m_pixmaps { iconPixmap(squareCanvas({})) }
{
    // The objects are exported before any registration: hosts read them at once.
    static const GDBusInterfaceVTable vtable = { handleMethodCall, handleGetProperty, nullptr, {} };
    GUniqueOutPtr<GError> error;
    m_registrationId = g_dbus_connection_register_object(
        m_connection.get(), m_itemPath.c_str(), m_nodeInfo->interfaces[0], &vtable, this, nullptr, &error.outPtr());
    if (!m_registrationId) {
        std::cerr << "zelnamenu: the status item is not exported at " << m_itemPath << ": " << errorMessage(error.get())
                  << '\n';
        return;
    }
    // Hosts keep registrations in memory only: a panel restart or a screen lock drops them, so
    // the item registers again each time the watcher's name gets an owner.
    m_watcherWatchId = g_bus_watch_name_on_connection(m_connection.get(), watcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
        watcherAppeared, watcherVanished, this, nullptr);
}

StatusNotifierItem::~StatusNotifierItem()
{
    g_cancellable_cancel(m_cancellable.get());
    if (m_watcherWatchId)
        g_bus_unwatch_name(m_watcherWatchId);
    if (m_registrationId)
        g_dbus_connection_unregister_object(m_connection.get(), m_registrationId);
    removeIconFile();
}

void StatusNotifierItem::setMenu(std::shared_ptr<Menu> menu)
{
    m_menu.setMenu(std::move(menu));
}

void StatusNotifierItem::setImage(std::shared_ptr<Image> image)
{
    std::vector<IconPixmap> pixmaps;
    Bitmap largest;
    for (double scale : pixmapScales) {
        largest = squareCanvas(image ? image->rasterize(scale) : Bitmap {});
        pixmaps.push_back(iconPixmap(largest));
    }
    // Every menu rebuild sets a freshly drawn but identical image; hosts need not reload it.
    if (pixmaps == m_pixmaps)
        return;
    m_pixmaps = std::move(pixmaps);
    writeIconFile(largest);
    emitSignal("NewIcon");
}

void StatusNotifierItem::setTitle(std::string title)
{
    if (title == m_title)
        return;
    m_title = std::move(title);
    emitSignal("NewTitle");
    emitSignal("XAyatanaNewLabel", g_variant_new("(ss)", m_title.c_str(), ""));
}

void StatusNotifierItem::setFont(Font font)
{
    // No host takes a font from the item; it is kept only because the button has one.
    m_font = font;
}

void StatusNotifierItem::writeIconFile(const Bitmap& square)
{
    // Hosts that read only icon names (the Ayatana ones) cache icons by name, so every change
    // gets a new name and the previous file goes.
    removeIconFile();
    const std::string directory = iconDirectory();
    if (g_mkdir_with_parents(directory.c_str(), 0700) != 0) {
        std::cerr << "zelnamenu: no icon file for name-only hosts: cannot create " << directory << '\n';
        return;
    }
    const std::string name = "zelnamenu-" + std::to_string(getpid()) + "-" + std::to_string(++m_iconSerial);
    const std::string path = directory + "/" + name + ".png";
    const std::string partialPath = path + ".part";

    std::vector<std::uint32_t> pixels = square.pixels;
    GUniquePtr<cairo_surface_t> surface(
        cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(pixels.data()), CAIRO_FORMAT_ARGB32,
            square.width, square.height, square.width * 4));
    const cairo_status_t status = cairo_surface_write_to_png(surface.get(), partialPath.c_str());
    if (status != CAIRO_STATUS_SUCCESS || std::rename(partialPath.c_str(), path.c_str()) != 0) {
        std::remove(partialPath.c_str());
        std::cerr << "zelnamenu: no icon file for name-only hosts: cannot write " << path << ": "
                  << cairo_status_to_string(status) << '\n';
        return;
    }
    m_iconFile = path;
    m_iconName = name;
}

void StatusNotifierItem::removeIconFile()
{
    if (!m_iconFile.empty())
        std::remove(m_iconFile.c_str());
    m_iconFile.clear();
    m_iconName.clear();
}

void StatusNotifierItem::emitSignal(const char* name, GVariant* parameters)
{
    if (!m_registrationId) {
        if (parameters)
            g_variant_unref(g_variant_ref_sink(parameters));
        return;
    }
    g_dbus_connection_emit_signal(
        m_connection.get(), nullptr, m_itemPath.c_str(), itemInterface, name, parameters, nullptr);
}

void StatusNotifierItem::registerWithWatcher()
{
    // By path: hosts take the caller's unique name as the service and the argument as the path.
    g_dbus_connection_call(m_connection.get(), watcherName, watcherPath, watcherName, "RegisterStatusNotifierItem",
        g_variant_new("(s)", m_itemPath.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, m_cancellable.get(),
        registrationFinished, this);
}

void StatusNotifierItem::registrationFinished(GObject* source, GAsyncResult* result, void*)
{
    GUniqueOutPtr<GError> error;
    GUniquePtr<GVariant> reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error.outPtr()));
    if (!reply && !g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED))
        std::cerr << "zelnamenu: the status-area host did not take the item: " << errorMessage(error.get()) << '\n';
}

void StatusNotifierItem::watcherAppeared(GDBusConnection*, const char*, const char*, void* userData)
{
    auto* self = static_cast<StatusNotifierItem*>(userData);
    self->m_hasSeenWatcher = true;
    self->registerWithWatcher();
}

void StatusNotifierItem::watcherVanished(GDBusConnection*, const char*, void* userData)
{
    auto* self = static_cast<StatusNotifierItem*>(userData);
    if (!self->m_hasSeenWatcher) {
        // Said once: the item keeps waiting and shows up as soon as a host starts.
        self->m_hasSeenWatcher = true;
        std::cerr << "zelnamenu: no status-area host is running; the status item appears when one starts\n";
    }
}

GVariant* StatusNotifierItem::pixmapsVariant() const
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
    for (const auto& pixmap : m_pixmaps) {
        GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, pixmap.argb.data(), pixmap.argb.size(), 1);
        g_variant_builder_add(&builder, "(ii@ay)", pixmap.width, pixmap.height, bytes);
    }
    return g_variant_builder_end(&builder);
}

void StatusNotifierItem::handleMethodCall(GDBusConnection*, const char*, const char*, const char*, const char*,
    GVariant*, GDBusMethodInvocation* invocation, void*)
{
    // Activate, SecondaryActivate, ContextMenu and Scroll: the menu is the item's only
    // interaction, but hosts expect every method of the interface to answer.
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* StatusNotifierItem::handleGetProperty(
    GDBusConnection*, const char*, const char*, const char*, const char* propertyName, GError** error, void* userData)
{
    const auto* self = static_cast<const StatusNotifierItem*>(userData);
    const std::string_view property = propertyName;
    if (property == "Category")
        return g_variant_new_string("ApplicationStatus");
    if (property == "Id")
        return g_variant_new_string("zelnamenu");
    if (property == "Title")
        return g_variant_new_string("ZelnaMenu");
    if (property == "Status")
        return g_variant_new_string("Active");
    if (property == "WindowId")
        return g_variant_new_int32(0);
    if (property == "IconThemePath")
        return g_variant_new_string(self->m_iconName.empty() ? "" : iconDirectory().c_str());
    if (property == "Menu")
        return g_variant_new_object_path(self->m_menu.objectPath().c_str());
    if (property == "ItemIsMenu")
        return g_variant_new_boolean(TRUE);
    if (property == "IconName")
        return g_variant_new_string(self->m_iconName.c_str());
    if (property == "IconPixmap")
        return self->pixmapsVariant();
    if (property == "OverlayIconName" || property == "AttentionIconName" || property == "AttentionMovieName")
        return g_variant_new_string("");
    if (property == "OverlayIconPixmap" || property == "AttentionIconPixmap")
        return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0);
    if (property == "ToolTip")
        return g_variant_new("(s@a(iiay)ss)", "", g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0), "", "");
    if (property == "XAyatanaLabel")
        return g_variant_new_string(self->m_title.c_str());
    if (property == "XAyatanaLabelGuide")
        return g_variant_new_string("");
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "No property %s", propertyName);
    return nullptr;
}

StatusNotifierBar::StatusNotifierBar(GDBusConnection* connection, std::shared_ptr<ActionTarget> application)
    : m_connection(GRefPtr<GDBusConnection>::share(connection))
    , m_application(std::move(application))
{ }

std::shared_ptr<StatusItem> StatusNotifierBar::statusItemWithLength(double)
{
    // Every host sizes an item by its content, so the length asked for changes nothing.
    ++m_itemCount;
    if (m_firstItem.expired()) {
        auto item = std::make_shared<StatusNotifierItem>(m_connection.get(), m_application);
        m_firstItem = item;
        return item;
    }
    const std::string suffix = "/" + std::to_string(m_itemCount);
    return std::make_shared<StatusNotifierItem>(m_connection.get(), m_application,
        StatusNotifierItem::defaultItemPath + suffix, StatusNotifierItem::defaultMenuPath + suffix);
}
