#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Images, fonts and text drawing. Coordinates are points with the origin at the bottom left and
// y growing upwards. Used on the main thread only.

struct Size {
    double width = 0.0;
    double height = 0.0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct Point {
    double x = 0.0;
    double y = 0.0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Rect {
    Point origin;
    Size size;
    friend bool operator==(const Rect&, const Rect&) = default;
};

/// The system font at a size in points.
struct Font {
    double pointSize = 0.0;
    friend bool operator==(const Font&, const Font&) = default;
};

/// Attributes for measuring and drawing text: only the font is ever set.
struct TextAttributes {
    std::optional<Font> font;
};

/// Pixels of an image at one scale: premultiplied ARGB32 in native byte order, row-major,
/// width × height entries with no padding.
struct Bitmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;
};

class Image {
public:
    virtual ~Image() = default;
    virtual Size size() const = 0;
    /// A template image is recoloured by the host; a drawn image keeps its colours.
    virtual bool isTemplate() const = 0;
    virtual void setTemplate(bool isTemplate) = 0;
    /// The image drawn at scale × its size in points (rounded up to whole pixels).
    virtual Bitmap rasterize(double scale) const = 0;
};

class Graphics {
public:
    virtual ~Graphics() = default;
    virtual Font systemFontOfSize(double pointSize) = 0;
    virtual double smallSystemFontSize() = 0;
    /// The size the text takes when drawn with these attributes.
    virtual Size sizeWithAttributes(std::string_view text, const TextAttributes& attributes) = 0;
    /// A named symbol image, or null when the platform has no such symbol.
    virtual std::shared_ptr<Image> imageWithSystemSymbolName(
        std::string_view name, std::optional<std::string> accessibilityDescription) = 0;
    /// A new, fully transparent image of the given size.
    virtual std::shared_ptr<Image> makeImage(Size size) = 0;
    /// Directs the drawing calls below into the image until unlockFocus.
    virtual void lockFocus(Image& image) = 0;
    virtual void unlockFocus(Image& image) = 0;
    /// Draws text with its bottom-left corner at point, into the focused image.
    virtual void drawAtPoint(std::string_view text, Point point, const TextAttributes& attributes) = 0;
    /// Draws an image scaled into rect, into the focused image.
    virtual void drawInRect(const Image& image, Rect rect) = 0;
};
