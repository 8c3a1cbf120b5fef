#pragma once

#include "Graphics.h"
#include "Menu.h"

#include <memory>
#include <string>

// The status area of the desktop. Used on the main thread only.

/// The length that makes a status item as wide as its content.
inline constexpr double NSVariableStatusItemLength = -1.0;

/// What the status item shows: an image, a title beside it, and the title's font.
class StatusBarButton {
public:
    virtual ~StatusBarButton() = default;
    /// Replaces the image; null shows none.
    virtual void setImage(std::shared_ptr<Image> image) = 0;
    virtual void setTitle(std::string title) = 0;
    /// The title's font. Hosts may have no way to honour it.
    virtual void setFont(Font font) = 0;
};

class StatusItem {
public:
    virtual ~StatusItem() = default;
    /// The item's button, or null when the item has none. Owned by the item.
    virtual StatusBarButton* button() = 0;
    /// The menu that opens when the item is clicked, replacing the one set before.
    virtual void setMenu(std::shared_ptr<Menu> menu) = 0;
};

class StatusBar {
public:
    virtual ~StatusBar() = default;
    /// A new item in the status area; it stays there as long as the returned object lives.
    virtual std::shared_ptr<StatusItem> statusItemWithLength(double length) = 0;
};
