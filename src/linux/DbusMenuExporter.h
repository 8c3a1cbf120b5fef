#pragma once

#include "linux/support/GOwned.h"
#include "ports/Menu.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

/// A title as a dbusmenu label: dbusmenu reads a single underscore as a mnemonic marker, so every
/// underscore of the title is doubled to show as itself.
std::string dbusmenuLabel(std::string_view title);

/// A key equivalent and its modifier mask as a dbusmenu `shortcut` (`aas`): one chord, modifiers
/// ("Control", "Alt", "Shift") first, then the key. Empty when there is no key equivalent.
std::vector<std::vector<std::string>> dbusmenuShortcut(std::string_view keyEquivalent, std::uint64_t modifierMask);

/// Exports a Menu over com.canonical.dbusmenu (version 3) at one object path. Every setMenu is a
/// new revision with fresh item ids, so a click meant for an item of an older layout finds
/// nothing. A "clicked" event sends the item's action to its target, or to `application` when
/// the item never had one.
class DbusMenuExporter {
public:
    DbusMenuExporter(GDBusConnection* connection, std::string objectPath, std::shared_ptr<ActionTarget> application);
    ~DbusMenuExporter();
    DbusMenuExporter(const DbusMenuExporter&) = delete;
    DbusMenuExporter& operator=(const DbusMenuExporter&) = delete;

    /// Replaces the whole layout and announces it with LayoutUpdated(revision, 0).
    void setMenu(std::shared_ptr<Menu> menu);

    /// Called when a host is about to show the menu or one of its submenus: the user may choose
    /// an item soon.
    std::function<void()> onAboutToShow;

    const std::string& objectPath() const { return m_objectPath; }
    bool isExported() const { return m_registrationId != 0; }

private:
    struct Entry {
        MenuItem* item = nullptr; ///< Null for the root.
        std::vector<std::int32_t> children;
    };

    static void handleMethodCall(GDBusConnection*, const char* sender, const char* objectPath,
        const char* interfaceName, const char* methodName, GVariant* parameters, GDBusMethodInvocation*,
        void* userData);
    /// Runs on GDBus's worker thread for every message of the connection, before a call is queued
    /// for the main loop: a call to objectPath with a list argument longer than any host sends is
    /// answered LimitsExceeded there, and freed there (freeing a million parsed strings would hold
    /// the main loop for tens of milliseconds). Reads nothing but its arguments.
    static GDBusMessage* refuseOverlongLists(GDBusConnection*, GDBusMessage*, gboolean isIncoming, void* objectPath);
    static GVariant* handleGetProperty(GDBusConnection*, const char* sender, const char* objectPath,
        const char* interfaceName, const char* propertyName, GError**, void* userData);

    void addEntries(std::int32_t parentId, Menu& menu);
    std::int32_t takeId();
    const Entry* entry(std::int32_t id) const;
    /// The item's properties that the mask `requested` names (see itemProperties).
    GVariant* properties(const Entry&, std::uint32_t requested) const;
    GVariant* layout(std::int32_t id, const Entry&, int depth, std::uint32_t requested) const;
    void returnUnknownId(GDBusMethodInvocation*, std::int32_t id) const;
    void getLayout(GVariant* parameters, GDBusMethodInvocation*);
    void getGroupProperties(GVariant* parameters, GDBusMethodInvocation*);
    void getProperty(GVariant* parameters, GDBusMethodInvocation*);
    void event(GVariant* parameters, GDBusMethodInvocation*);
    void eventGroup(GVariant* parameters, GDBusMethodInvocation*);
    void aboutToShow(GVariant* parameters, GDBusMethodInvocation*);
    void aboutToShowGroup(GVariant* parameters, GDBusMethodInvocation*);
    void handleEvent(std::int32_t id, std::string_view eventId);

    GRefPtr<GDBusConnection> m_connection;
    std::string m_objectPath;
    std::shared_ptr<ActionTarget> m_application;
    GUniquePtr<GDBusNodeInfo> m_nodeInfo;
    unsigned m_registrationId = 0;
    unsigned m_filterId = 0;

    std::shared_ptr<Menu> m_menu;
    std::map<std::int32_t, Entry> m_entries;
    std::uint32_t m_revision = 0;
    std::int32_t m_nextId = 1;
};
