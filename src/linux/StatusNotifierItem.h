#pragma once

#include "linux/DbusMenuExporter.h"
#include "linux/GOwned.h"
#include "ports/StatusBar.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

/// One size of an icon as StatusNotifierItem hosts read `IconPixmap`: straight (not
/// premultiplied) alpha, the bytes A, R, G, B for each pixel, rows without padding.
struct IconPixmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> argb; ///< Exactly 4 × width × height bytes.
    friend bool operator==(const IconPixmap&, const IconPixmap&) = default;
};

/// The bitmap centred on a transparent square canvas, still premultiplied. Hosts fit, squash or
/// crop a wide icon into a square cell; a square one they all draw undistorted. An empty bitmap
/// gives a 1 × 1 transparent canvas, since hosts reject an empty icon.
Bitmap squareCanvas(const Bitmap& bitmap);

/// A premultiplied ARGB32 bitmap in the layout of `IconPixmap`.
IconPixmap iconPixmap(const Bitmap& bitmap);

/// The status item as a StatusNotifierItem at `/StatusNotifierItem` with its menu exported over
/// dbusmenu at `/MenuBar`. The item is its own button: the image becomes `IconPixmap` (and a PNG
/// named by `IconName` for hosts that read only icon names), the title the Ayatana label.
class StatusNotifierItem final : public StatusItem, public StatusBarButton {
public:
    static constexpr const char* defaultItemPath = "/StatusNotifierItem";
    static constexpr const char* defaultMenuPath = "/MenuBar";

    StatusNotifierItem(GDBusConnection* connection, std::shared_ptr<ActionTarget> application,
        std::string itemPath = defaultItemPath, std::string menuPath = defaultMenuPath);
    ~StatusNotifierItem() override;
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

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
    static void registrationFinished(GObject* source, GAsyncResult*, void* userData);

    void registerWithWatcher();
    void writeIconFile(const Bitmap& square);
    void removeIconFile();
    void emitSignal(const char* name, GVariant* parameters = nullptr);
    GVariant* pixmapsVariant() const;

    GRefPtr<GDBusConnection> m_connection;
    std::string m_itemPath;
    DbusMenuExporter m_menu;
    GUniquePtr<GDBusNodeInfo> m_nodeInfo;
    unsigned m_registrationId = 0;
    unsigned m_watcherWatchId = 0;
    GRefPtr<GCancellable> m_cancellable;
    bool m_hasSeenWatcher = false;

    std::vector<IconPixmap> m_pixmaps;
    std::string m_iconName;
    std::string m_iconFile;
    unsigned m_iconSerial = 0;
    std::string m_title;
    Font m_font;
};

/// The desktop's status area as StatusNotifierItem hosts see it. The first item lives at the
/// fixed paths; an item asked for while another lives gets numbered ones.
class StatusNotifierBar final : public StatusBar {
public:
    StatusNotifierBar(GDBusConnection* connection, std::shared_ptr<ActionTarget> application);

    std::shared_ptr<StatusItem> statusItemWithLength(double length) override;

private:
    GRefPtr<GDBusConnection> m_connection;
    std::shared_ptr<ActionTarget> m_application;
    std::weak_ptr<StatusItem> m_firstItem;
    unsigned m_itemCount = 0;
};
