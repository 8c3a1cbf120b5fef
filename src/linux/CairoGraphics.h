#pragma once

#include "linux/support/GOwnedCairo.h"
#include "ports/Graphics.h"

#include <string>
#include <vector>

class CairoImage;

/// Images, fonts and text over cairo and Pango; symbols are drawn from their paths in code.
///
/// An image is a recording of what was drawn into it, not pixels: rasterize() replays the
/// recording at the requested scale, so text and symbols come out sharp at scale 1 and 2 alike.
/// Text uses the desktop's interface font family at the given size in points, one point being one
/// pixel at scale 1; emoji (the flag's regional indicators) come from the colour emoji font that
/// Pango picks for emoji runs.
class CairoGraphics final : public Graphics {
public:
    CairoGraphics();
    ~CairoGraphics() override;

    Font systemFontOfSize(double pointSize) override;
    double smallSystemFontSize() override;
    Size sizeWithAttributes(std::string_view text, const TextAttributes& attributes) override;
    std::shared_ptr<Image> imageWithSystemSymbolName(std::string_view name,
                                                     std::optional<std::string> accessibilityDescription) override;
    std::shared_ptr<Image> makeImage(Size size) override;
    void lockFocus(Image& image) override;
    void unlockFocus(Image& image) override;
    void drawAtPoint(std::string_view text, Point point, const TextAttributes& attributes) override;
    void drawInRect(const Image& image, Rect rect) override;

    /// The font family text is set in: the desktop's interface font family, or "Sans".
    const std::string& fontFamily() const { return m_fontFamily; }

private:
    CairoImage* focusedImage() const;

    std::string m_fontFamily;
    GRefPtr<PangoContext> m_measuringContext;
    std::vector<CairoImage*> m_focusStack;
};
