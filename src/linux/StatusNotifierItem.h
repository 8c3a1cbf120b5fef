#pragma once

#include "linux/DbusMenuExporter.h"
#include "linux/support/AsyncCalls.h"
#include "ports/StatusBar.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class DbusNotifications;

/// One size of an icon as StatusNotifierItem hosts read `IconPixmap`: straight (not
/// premultiplied) alpha, the bytes A, R, G, B for each pixel, rows without padding.
struct IconPixmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> argb; ///< Exactly 4 × width × height bytes.
    friend bool operator==(const IconPixmap&, const IconPixmap&) = default;
};

/// The sides, in pixels, of the square cells hosts draw status icons in at scale 1; each is also
/// drawn at scale 2 for doubled screens.
inline constexpr int iconCellSizes[] = { 16, 22, 24, 32, 48 };

/// The bitmap centred on a transparent side × side canvas, cropped where it is larger; still
/// premultiplied.
Bitmap centredSquare(const Bitmap& bitmap, int side);

/// The image drawn as large as a side × side square allows and centred on it. Hosts fit, squash
/// or crop a wide icon into their square cell; a square of the cell's own size they all draw
/// undistorted and unscaled. Without an image the square is transparent: hosts reject an empty icon.
Bitmap fittedSquare(const Image* image, int side);

/// A premultiplied ARGB32 bitmap in the layout of `IconPixmap`.
IconPixmap iconPixmap(const Bitmap& bitmap);

/// The status item as a StatusNotifierItem at `/StatusNotifierItem` with its menu exported over
/// dbusmenu at `/MenuBar`. The item is its own button: the image becomes `IconPixmap` (and PNG
/// files named by `IconName` for hosts that read icon names), the title the Ayatana label.
class StatusNotifierItem final : public StatusItem, public StatusBarButton {
public:
    static constexpr const char* defaultItemPath = "/StatusNotifierItem";
    static constexpr const char* defaultMenuPath = "/MenuBar";

    /// Long enough for a panel started at the same login as ZelnaMenu to put up its watcher.
    static constexpr std::chrono::milliseconds defaultNoHostNoticeDelay { 10'000 };

    /// With notifications, a session where no status-area host has appeared noHostNoticeDelay
    /// after start hears once per login, in a desktop notification, how to get one.
    StatusNotifierItem(GDBusConnection* connection, std::shared_ptr<ActionTarget> application,
        DbusNotifications* notifications = nullptr,
        std::chrono::milliseconds noHostNoticeDelay = defaultNoHostNoticeDelay,
        std::string itemPath = defaultItemPath, std::string menuPath = defaultMenuPath);
    ~StatusNotifierItem() override;
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    /// Called when a host is about to show the item's menu.
    void setOnMenuAboutToShow(std::function<void()> handler) { m_menu.onAboutToShow = std::move(handler); }

    StatusBarButton* button() override { return this; }
    void setMenu(std::shared_ptr<Menu> menu) override;

    void setImage(std::shared_ptr<Image> image) override;
    void setTitle(std::string title) override;
    void setFont(Font font) override;

private:
    static void handleMethodCall(GDBusConnection*, const char* sender, const char* objectPath,
        const char* interfaceName, const char* methodName, GVariant* parameters, GDBusMethodInvocation*,
        void* userData);
    static GVariant* handleGetProperty(GDBusConnection*, const char* sender, const char* objectPath,
        const char* interfaceName, const char* propertyName, GError**, void* userData);
    static void watcherAppeared(GDBusConnection*, const char* name, const char* owner, void* userData);
    static void watcherVanished(GDBusConnection*, const char* name, void* userData);
    static void hostRegistered(GDBusConnection*, const char* sender, const char* objectPath,
        const char* interfaceName, const char* signalName, GVariant* parameters, void* userData);

    bool isRegistered() const; ///< Taken by the watcher that owns the name now.
    void registerWithWatcher();
    void registrationFinished(const Result<std::string>& takenBy);
    void stopRetrying();
    void sendNoHostNotice();
    /// One image's icon files, written on the icon-file thread.
    struct IconFiles {
        unsigned serial = 0;
        std::string name;
        std::string directory;
        std::map<int, Bitmap> squares;
        std::weak_ptr<StatusNotifierItem*> item;
        std::vector<std::string> paths; ///< Written so far.
        bool isComplete = false;
    };
    /// Files to write (none for removals only), after removing the ones named.
    struct IconFileTask {
        std::shared_ptr<IconFiles> files;
        std::vector<std::string> removals;
    };
    static void runIconFileTask(gpointer task, gpointer);
    static void writeAllIconFiles(IconFiles& files); ///< Or none: what was written of a failed set goes.
    static bool writeIconFiles(IconFiles& files);
    void iconFilesWritten(const std::shared_ptr<IconFiles>& files);
    void removeIconFiles();
    void emitSignal(const char* name, GVariant* parameters = nullptr);
    GVariant* pixmapsVariant() const;

    GRefPtr<GDBusConnection> m_connection;
    std::string m_itemPath;
    DbusMenuExporter m_menu;
    DbusNotifications* m_notifications;
    GUniquePtr<GDBusNodeInfo> m_nodeInfo;
    unsigned m_registrationId = 0;
    unsigned m_watcherWatchId = 0;
    unsigned m_hostSubscriptionId = 0;
    PendingCalls m_calls;

    std::string m_watcherOwner; ///< Empty while no watcher is running.
    bool m_hasSeenWatcher = false;
    std::string m_registeredWith; ///< The unique name of the watcher that took the item.
    bool m_isRegistering = false;
    bool m_hasReportedFailure = false;
    unsigned m_retryDelay = 0;
    unsigned m_retrySource = 0;
    unsigned m_noHostNoticeSource = 0;

    Bitmap m_largestSquare;
    std::vector<IconPixmap> m_pixmaps;
    std::string m_iconName;
    std::vector<std::string> m_iconFiles;
    unsigned m_iconSerial = 0;
    std::shared_ptr<StatusNotifierItem*> m_self = std::make_shared<StatusNotifierItem*>(this);
    std::vector<std::shared_ptr<IconFiles>> m_pendingIconFiles;
    GUniquePtr<GThreadPool> m_iconFileThread;
    std::string m_title;
    Font m_font;
};

/// The desktop's status area as StatusNotifierItem hosts see it. The first item lives at the
/// fixed paths, and is exported and registered as the bar is made; an item asked for while
/// another lives gets numbered ones.
class StatusNotifierBar final : public StatusBar {
public:
    StatusNotifierBar(GDBusConnection* connection, std::shared_ptr<ActionTarget> application,
        DbusNotifications* notifications = nullptr);

    std::shared_ptr<StatusItem> statusItemWithLength(double length) override;

    /// Called when a host is about to show the menu of any of the bar's items.
    void setOnMenuAboutToShow(std::function<void()> handler);

private:
    GRefPtr<GDBusConnection> m_connection;
    std::shared_ptr<ActionTarget> m_application;
    DbusNotifications* m_notifications;
    std::shared_ptr<StatusNotifierItem> m_preparedItem; ///< The first item, until it is asked for.
    std::function<void()> m_onMenuAboutToShow;
    std::weak_ptr<StatusItem> m_firstItem;
    unsigned m_itemCount = 0;
};
