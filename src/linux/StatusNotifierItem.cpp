#include "linux/StatusNotifierItem.h"

#include "linux/DbusNotifications.h"
#include "linux/support/AtomicFile.h"
#include "linux/support/GOwnedCairo.h"
#include "linux/support/Log.h"
#include "linux/support/XdgBaseDirectories.h"

#include <glib/gi18n-lib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <utility>

namespace {

constexpr const char* itemInterface = "org.kde.StatusNotifierItem";
constexpr DbusObject watcher = { "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
    "org.kde.StatusNotifierWatcher" };

// Activate is left out, so that calling it answers UnknownMethod: the item is a menu. Plasma then
// opens the menu on a left click, GNOME's extension stops waiting for double clicks, and LXQt,
// which only ever calls Activate on a left click, does nothing (its right click opens the menu).
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

// A watcher may own its name a moment before it answers on it, so the first retry of a refused
// registration comes soon; later ones back off to once a minute, for as long as that watcher runs.
constexpr unsigned firstRetryDelay = 250;
constexpr unsigned longestRetryDelay = 60'000;

// The largest square tells whether a new image differs, and is the loose icon file.
constexpr int largestSide = 2 * iconCellSizes[std::size(iconCellSizes) - 1];

std::string runtimeSubdirectory()
{
    const auto runtime = userRuntimeDirectory();
    return runtime.empty() ? std::string() : (runtime / "zelnamenu").string();
}

std::string iconDirectory()
{
    const std::string runtime = runtimeSubdirectory();
    return runtime.empty() ? (userCacheDirectory() / "zelnamenu").string() : runtime;
}

bool isSameBitmap(const Bitmap& left, const Bitmap& right)
{
    return left.width == right.width && left.height == right.height && left.pixels == right.pixels;
}

/// The bitmap as the bytes of a PNG file.
Result<std::string> pngFile(const Bitmap& bitmap)
{
    std::vector<std::uint32_t> pixels = bitmap.pixels;
    GUniquePtr<cairo_surface_t> surface(cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(pixels.data()), CAIRO_FORMAT_ARGB32, bitmap.width, bitmap.height,
        bitmap.width * 4));
    std::string png;
    const cairo_status_t status = cairo_surface_write_to_png_stream(
        surface.get(),
        [](void* png, const unsigned char* data, unsigned length) {
            static_cast<std::string*>(png)->append(reinterpret_cast<const char*>(data), length);
            return CAIRO_STATUS_SUCCESS;
        },
        &png);
    if (status != CAIRO_STATUS_SUCCESS)
        return Failure { cairo_status_to_string(status) };
    return png;
}

/// Writes the bitmap as a PNG file in place of any file there; false, said once, when that failed.
bool writePng(const Bitmap& bitmap, const std::string& path)
{
    const auto png = pngFile(bitmap);
    const auto written = png ? replaceFileAtomically(path, *png) : Result<void>(png.failure());
    if (!written)
        logLine("no icon file for hosts that read icon names: cannot write %s: %s", path.c_str(),
            written.failure().message.c_str());
    return static_cast<bool>(written);
}

} // namespace

Bitmap centredSquare(const Bitmap& bitmap, int side)
{
    side = std::max(side, 1);
    Bitmap square { side, side,
        std::vector<std::uint32_t>(static_cast<std::size_t>(side) * static_cast<std::size_t>(side), 0) };
    const int width = std::max(bitmap.width, 0);
    const int height = std::max(bitmap.height, 0);
    if (bitmap.pixels.size() < static_cast<std::size_t>(width) * static_cast<std::size_t>(height))
        return square;
    // Where the bitmap is larger than the square, its middle part is kept.
    const int left = (side - width) / 2;
    const int top = (side - height) / 2;
    for (int row = std::max(0, -top); row < std::min(height, side - top); ++row) {
        const int firstColumn = std::max(0, -left);
        const int lastColumn = std::min(width, side - left);
        auto source = bitmap.pixels.begin() + static_cast<std::ptrdiff_t>(row) * width;
        auto target = square.pixels.begin() + static_cast<std::ptrdiff_t>(top + row) * side + left;
        std::copy(source + firstColumn, source + lastColumn, target + firstColumn);
    }
    return square;
}

Bitmap fittedSquare(const Image* image, int side)
{
    if (!image)
        return centredSquare({}, side);
    const Size size = image->size();
    const double longerSide = std::max(size.width, size.height);
    if (!std::isfinite(longerSide) || longerSide <= 0.0)
        return centredSquare({}, side);
    return centredSquare(image->rasterize(side / longerSide), side);
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

StatusNotifierItem::StatusNotifierItem(GDBusConnection* connection, std::shared_ptr<ActionTarget> application,
    DbusNotifications* notifications, std::chrono::milliseconds noHostNoticeDelay, std::string itemPath,
    std::string menuPath)
    : m_connection(GRefPtr<GDBusConnection>::share(connection))
    , m_itemPath(std::move(itemPath))
    , m_menu(connection, std::move(menuPath), std::move(application))
    , m_notifications(notifications)
    , m_nodeInfo(g_dbus_node_info_new_for_xml(introspectionXml, nullptr))
    , m_retryDelay(firstRetryDelay)
    , m_pixmaps { iconPixmap(fittedSquare(nullptr, iconCellSizes[0])) }
    , m_iconFileThread(g_thread_pool_new(runIconFileTask, nullptr, 1, FALSE, nullptr))
{
    // The objects are exported before any registration: hosts read them at once.
    static const GDBusInterfaceVTable vtable = { handleMethodCall, handleGetProperty, nullptr, {} };
    GUniqueOutPtr<GError> error;
    m_registrationId = g_dbus_connection_register_object(
        m_connection.get(), m_itemPath.c_str(), m_nodeInfo->interfaces[0], &vtable, this, nullptr, &error.outPtr());
    if (!m_registrationId) {
        logLine("the status item is not exported at %s: %s", m_itemPath.c_str(),
            Failure::from(error.get()).message.c_str());
        return;
    }
    // Hosts keep registrations in memory only: a panel restart or a screen lock drops them, so
    // the item registers again each time the watcher's name gets an owner, and when a host joins
    // a watcher that may have started without it.
    m_watcherWatchId = g_bus_watch_name_on_connection(m_connection.get(), watcher.name, G_BUS_NAME_WATCHER_FLAGS_NONE,
        watcherAppeared, watcherVanished, this, nullptr);
    m_hostSubscriptionId = g_dbus_connection_signal_subscribe(m_connection.get(), watcher.name, watcher.interface,
        "StatusNotifierHostRegistered", watcher.path, nullptr, G_DBUS_SIGNAL_FLAGS_NONE, hostRegistered, this, nullptr);
    // Registering at once, rather than once the watch has found the watcher, puts the item in the
    // panel a main-loop turn sooner: what hosts then read waits for that turn, when it is drawn.
    registerWithWatcher();
    if (m_notifications) {
        m_noHostNoticeSource = g_timeout_add(static_cast<unsigned>(noHostNoticeDelay.count()), [](void* userData) {
            auto* self = static_cast<StatusNotifierItem*>(userData);
            self->m_noHostNoticeSource = 0;
            self->sendNoHostNotice();
            return G_SOURCE_REMOVE;
        }, this);
    }
}

StatusNotifierItem::~StatusNotifierItem()
{
    stopRetrying();
    if (m_noHostNoticeSource)
        g_source_remove(m_noHostNoticeSource);
    if (m_hostSubscriptionId)
        g_dbus_connection_signal_unsubscribe(m_connection.get(), m_hostSubscriptionId);
    if (m_watcherWatchId)
        g_bus_unwatch_name(m_watcherWatchId);
    if (m_registrationId)
        g_dbus_connection_unregister_object(m_connection.get(), m_registrationId);
    // The item cleans up after itself: what the icon-file thread has yet to do is done first.
    m_iconFileThread.reset();
    for (const auto& files : m_pendingIconFiles)
        m_iconFiles.insert(m_iconFiles.end(), files->paths.begin(), files->paths.end());
    for (const auto& path : m_iconFiles)
        std::remove(path.c_str());
}

void StatusNotifierItem::setMenu(std::shared_ptr<Menu> menu)
{
    m_menu.setMenu(std::move(menu));
}

void StatusNotifierItem::setImage(std::shared_ptr<Image> image)
{
    // Every menu rebuild sets a freshly drawn but identical image; its largest square tells
    // whether anything changed before the other sizes are drawn.
    Bitmap largest = fittedSquare(image.get(), largestSide);
    if (m_iconSerial > 0 && isSameBitmap(largest, m_largestSquare))
        return;
    std::map<int, Bitmap> squares;
    for (int cell : iconCellSizes) {
        for (int side : { cell, 2 * cell }) {
            if (!squares.contains(side))
                squares.emplace(side, side == largestSide ? largest : fittedSquare(image.get(), side));
        }
    }
    m_pixmaps.clear();
    for (const auto& [side, square] : squares)
        m_pixmaps.push_back(iconPixmap(square));
    m_largestSquare = std::move(largest);
    ++m_iconSerial;
    removeIconFiles();
    if (!image) {
        emitSignal("NewIcon");
        return;
    }
    // Encoding and writing a dozen PNG files for a new image is left to the icon-file thread, off
    // the main loop; hosts hear of the new icon once its files are there too.
    auto files = std::make_shared<IconFiles>();
    files->serial = m_iconSerial;
    files->name = "zelnamenu-" + std::to_string(getpid()) + "-" + std::to_string(m_iconSerial);
    files->directory = iconDirectory();
    files->squares = std::move(squares);
    files->item = m_self;
    // The first image's files are written at once: hosts that read icon names then find the icon
    // from their first read, as they do after a restart of their own, and draw it the same way.
    if (m_iconSerial == 1) {
        writeAllIconFiles(*files);
        iconFilesWritten(files);
        return;
    }
    m_pendingIconFiles.push_back(files);
    g_thread_pool_push(m_iconFileThread.get(), new IconFileTask { std::move(files), {} }, nullptr);
}

void StatusNotifierItem::setTitle(std::string title)
{
    if (title == m_title)
        return;
    m_title = std::move(title);
    // The title is the Ayatana label; the item's Title property stays "ZelnaMenu".
    emitSignal("XAyatanaNewLabel", g_variant_new("(ss)", m_title.c_str(), ""));
}

void StatusNotifierItem::setFont(Font font)
{
    // No host takes a font from the item; it is kept only because the button has one.
    m_font = font;
}

void StatusNotifierItem::runIconFileTask(gpointer data, gpointer)
{
    std::unique_ptr<IconFileTask> task(static_cast<IconFileTask*>(data));
    for (const auto& path : task->removals)
        std::remove(path.c_str());
    if (!task->files)
        return;
    writeAllIconFiles(*task->files);
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) {
            auto files = *static_cast<std::shared_ptr<IconFiles>*>(data);
            if (auto item = files->item.lock())
                (*item)->iconFilesWritten(files);
            return G_SOURCE_REMOVE;
        },
        new std::shared_ptr<IconFiles>(task->files),
        [](gpointer data) { delete static_cast<std::shared_ptr<IconFiles>*>(data); });
}

void StatusNotifierItem::writeAllIconFiles(IconFiles& files)
{
    files.isComplete = writeIconFiles(files);
    if (!files.isComplete) {
        for (const auto& path : files.paths)
            std::remove(path.c_str());
        files.paths.clear();
    }
}

bool StatusNotifierItem::writeIconFiles(IconFiles& files)
{
    // Hosts that read icon names look them up at their own cell size in the hicolor layout under
    // IconThemePath, falling back to the loose file. They cache icons by name, so every change
    // gets a new name.
    const std::string& directory = files.directory;
    std::vector<std::pair<std::string, const Bitmap*>> folders { { directory, &files.squares.at(largestSide) } };
    for (int cell : iconCellSizes) {
        const std::string size = std::to_string(cell) + "x" + std::to_string(cell);
        folders.emplace_back(directory + "/hicolor/" + size + "/apps", &files.squares.at(cell));
        folders.emplace_back(directory + "/hicolor/" + size + "@2/apps", &files.squares.at(2 * cell));
    }
    // A host that puts IconThemePath in place of its whole icon search path (waybar) finds no
    // hicolor theme elsewhere, so the folder describes its own.
    std::string index = "[Icon Theme]\nName=Hicolor\nComment=ZelnaMenu's status icons\nDirectories=";
    std::string sections;
    for (int cell : iconCellSizes) {
        for (const char* scale : { "", "@2" }) {
            const std::string folder = std::to_string(cell) + "x" + std::to_string(cell) + scale + "/apps";
            index += (sections.empty() ? "" : ",") + folder;
            sections += "\n[" + folder + "]\nSize=" + std::to_string(cell) + "\nScale=" + (*scale ? "2" : "1")
                + "\nContext=Applications\nType=Threshold\n";
        }
    }
    const std::string indexPath = directory + "/hicolor/index.theme";
    if (g_mkdir_with_parents((directory + "/hicolor").c_str(), 0700) == 0
        && replaceFileAtomically(indexPath, index + "\n" + sections))
        files.paths.push_back(indexPath);
    for (const auto& [folder, square] : folders) {
        const std::string path = folder + "/" + files.name + ".png";
        if (g_mkdir_with_parents(folder.c_str(), 0700) != 0) {
            logLine("no icon file for hosts that read icon names: cannot create %s: %s", folder.c_str(),
                g_strerror(errno));
            return false;
        }
        if (!writePng(*square, path))
            return false;
        files.paths.push_back(path);
    }
    return true;
}

void StatusNotifierItem::iconFilesWritten(const std::shared_ptr<IconFiles>& files)
{
    std::erase(m_pendingIconFiles, files);
    if (files->serial != m_iconSerial) {
        // Drawn over meanwhile.
        g_thread_pool_push(m_iconFileThread.get(), new IconFileTask { nullptr, files->paths }, nullptr);
        return;
    }
    m_iconFiles = files->paths;
    m_iconName = files->isComplete ? files->name : "";
    emitSignal("NewIcon");
}

void StatusNotifierItem::removeIconFiles()
{
    if (!m_iconFiles.empty())
        g_thread_pool_push(m_iconFileThread.get(), new IconFileTask { nullptr, std::move(m_iconFiles) }, nullptr);
    m_iconFiles.clear();
    m_iconName.clear();
}

void StatusNotifierItem::emitSignal(const char* name, GVariant* parameters)
{
    // Before a watcher runs no host listens, and one that comes reads every property anew.
    if (!m_registrationId || (m_watcherOwner.empty() && m_registeredWith.empty())) {
        if (parameters)
            g_variant_unref(g_variant_ref_sink(parameters));
        return;
    }
    g_dbus_connection_emit_signal(
        m_connection.get(), nullptr, m_itemPath.c_str(), itemInterface, name, parameters, nullptr);
}

bool StatusNotifierItem::isRegistered() const
{
    return !m_watcherOwner.empty() && m_registeredWith == m_watcherOwner;
}

void StatusNotifierItem::registerWithWatcher()
{
    if (m_isRegistering)
        return;
    stopRetrying();
    m_isRegistering = true;
    // By path: hosts take the caller's unique name as the service and the argument as the path.
    // The reply names the watcher that took the item, so that a watcher is never asked twice
    // (GNOME's extension answers a second registration with a reset that loses the icon).
    auto message = GRefPtr<GDBusMessage>::adopt(
        g_dbus_message_new_method_call(watcher.name, watcher.path, watcher.interface, "RegisterStatusNotifierItem"));
    g_dbus_message_set_body(message.get(), g_variant_new("(s)", m_itemPath.c_str()));
    const auto completion = unlessCancelled(m_calls.cancellable(), [this](GObject* source, GAsyncResult* result) {
        GUniqueOutPtr<GError> error;
        auto reply = GRefPtr<GDBusMessage>::adopt(
            g_dbus_connection_send_message_with_reply_finish(G_DBUS_CONNECTION(source), result, &error.outPtr()));
        if (reply && g_dbus_message_to_gerror(reply.get(), &error.outPtr()))
            reply = nullptr;
        const char* sender = reply ? g_dbus_message_get_sender(reply.get()) : nullptr;
        registrationFinished(reply ? Result<std::string>(sender ? sender : "") : Failure::from(error.get()));
    });
    g_dbus_connection_send_message_with_reply(m_connection.get(), message.get(), G_DBUS_SEND_MESSAGE_FLAGS_NONE, -1,
        nullptr, m_calls.cancellable(), completion.callback, completion.data);
}

void StatusNotifierItem::registrationFinished(const Result<std::string>& takenBy)
{
    m_isRegistering = false;
    if (takenBy)
        m_registeredWith = *takenBy;
    // Until the watch finds a watcher there is nobody to ask again: it registers when one appears.
    if (m_watcherOwner.empty())
        return;
    if (isRegistered()) {
        m_retryDelay = firstRetryDelay;
        m_hasReportedFailure = false;
        return;
    }
    // Taken by a watcher that has gone since: the one running now has not heard of the item.
    if (takenBy) {
        registerWithWatcher();
        return;
    }
    if (!std::exchange(m_hasReportedFailure, true))
        logLine("the status-area host did not take the item: %s; trying again", takenBy.failure().message.c_str());
    m_retrySource = g_timeout_add(
        m_retryDelay,
        [](void* userData) {
            auto* self = static_cast<StatusNotifierItem*>(userData);
            self->m_retrySource = 0;
            self->registerWithWatcher();
            return G_SOURCE_REMOVE;
        },
        this);
    m_retryDelay = std::min(2 * m_retryDelay, longestRetryDelay);
}

void StatusNotifierItem::stopRetrying()
{
    if (m_retrySource)
        g_source_remove(std::exchange(m_retrySource, 0));
}

void StatusNotifierItem::watcherAppeared(GDBusConnection*, const char*, const char* owner, void* userData)
{
    auto* self = static_cast<StatusNotifierItem*>(userData);
    self->m_hasSeenWatcher = true;
    if (self->m_noHostNoticeSource)
        g_source_remove(std::exchange(self->m_noHostNoticeSource, 0));
    // A new watcher starts a new run of attempts; one that took the item already is not asked
    // again, nor while an answer is awaited, which registrationFinished weighs against this owner.
    self->m_watcherOwner = owner;
    self->m_retryDelay = firstRetryDelay;
    self->m_hasReportedFailure = false;
    if (!self->isRegistered())
        self->registerWithWatcher();
}

void StatusNotifierItem::watcherVanished(GDBusConnection*, const char*, void* userData)
{
    auto* self = static_cast<StatusNotifierItem*>(userData);
    self->m_watcherOwner.clear();
    self->m_registeredWith.clear();
    self->stopRetrying();
    if (!self->m_hasSeenWatcher) {
        // Said once: the item keeps waiting and shows up as soon as a host starts.
        self->m_hasSeenWatcher = true;
        logLine("no status-area host is running; the status item appears when one starts");
    }
}

void StatusNotifierItem::hostRegistered(
    GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*, void* userData)
{
    // A host joining a watcher that refused the item is a new chance, sooner than the next retry.
    // One that took the item already is not asked again.
    auto* self = static_cast<StatusNotifierItem*>(userData);
    if (self->isRegistered() || self->m_isRegistering)
        return;
    self->m_retryDelay = firstRetryDelay;
    self->registerWithWatcher();
}

void StatusNotifierItem::sendNoHostNotice()
{
    // Once per login: the marker lives in the runtime folder, which goes when the user's last
    // session ends. Without that folder it is once per run.
    std::string marker = runtimeSubdirectory();
    if (!marker.empty()) {
        g_mkdir_with_parents(marker.c_str(), 0700);
        marker += "/no-host-notice";
        std::FILE* file = std::fopen(marker.c_str(), "wx");
        if (!file && errno == EEXIST)
            return;
        if (file)
            std::fclose(file);
        else
            marker.clear();
    }
    Notification notice { _("ZelnaMenu needs a status area"),
        _("No status-area host is running, so ZelnaMenu cannot show its icon and menu. On GNOME, install and "
          "turn on the AppIndicator extension (package gnome-shell-extension-appindicator). ZelnaMenu keeps "
          "running and appears as soon as a host starts."),
        std::nullopt, 0 };
    m_notifications->notify(std::move(notice), nullptr, [marker](std::optional<std::uint32_t> id) {
        // Not shown, not told: a later run in this login may try again.
        if (!id && !marker.empty())
            std::remove(marker.c_str());
    });
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
    // SecondaryActivate, ContextMenu and Scroll: the menu is the item's only interaction, but
    // hosts expect these methods of the interface to answer.
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

StatusNotifierBar::StatusNotifierBar(
    GDBusConnection* connection, std::shared_ptr<ActionTarget> application, DbusNotifications* notifications)
    : m_connection(GRefPtr<GDBusConnection>::share(connection))
    , m_application(std::move(application))
    , m_notifications(notifications)
    // Made now, so that the item is in the panel before the program has drawn it: hosts read it
    // once the main loop runs, by which time the first menu and image are in place.
    , m_preparedItem(std::make_shared<StatusNotifierItem>(m_connection.get(), m_application, m_notifications))
    , m_firstItem(m_preparedItem)
{ }

std::shared_ptr<StatusItem> StatusNotifierBar::statusItemWithLength(double)
{
    // Every host sizes an item by its content, so the length asked for changes nothing.
    ++m_itemCount;
    if (m_preparedItem)
        return std::move(m_preparedItem);
    std::shared_ptr<StatusNotifierItem> item;
    if (m_firstItem.expired()) {
        item = std::make_shared<StatusNotifierItem>(m_connection.get(), m_application, m_notifications);
        m_firstItem = item;
    } else {
        const std::string suffix = "/" + std::to_string(m_itemCount);
        item = std::make_shared<StatusNotifierItem>(m_connection.get(), m_application, nullptr,
            StatusNotifierItem::defaultNoHostNoticeDelay, StatusNotifierItem::defaultItemPath + suffix,
            StatusNotifierItem::defaultMenuPath + suffix);
    }
    item->setOnMenuAboutToShow(m_onMenuAboutToShow);
    return item;
}

void StatusNotifierBar::setOnMenuAboutToShow(std::function<void()> handler)
{
    m_onMenuAboutToShow = std::move(handler);
    if (m_preparedItem)
        m_preparedItem->setOnMenuAboutToShow(m_onMenuAboutToShow);
}
