// The status image drawn by cairo and Pango with the machine's fonts.

#include "linux/CairoGraphics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

/// The pixels of columns [x0, x1) that satisfy predicate, given alpha, red, green and blue.
int countPixels(const Bitmap& bitmap, const std::function<bool(int, int, int, int)>& predicate, int x0 = 0,
    int x1 = INT32_MAX)
{
    int count = 0;
    for (int y = 0; y < bitmap.height; ++y)
        for (int x = std::max(x0, 0); x < std::min(x1, bitmap.width); ++x) {
            const std::uint32_t value = bitmap.pixels[static_cast<std::size_t>(y * bitmap.width + x)];
            count += predicate(static_cast<int>(value >> 24), static_cast<int>((value >> 16) & 0xff),
                static_cast<int>((value >> 8) & 0xff), static_cast<int>(value & 0xff));
        }
    return count;
}

} // namespace

TEST(CairoGraphicsTest, TheFlagComesInColourAndTheAntennaStandsOutOnAnyPanelAtEveryScale)
{
    CairoGraphics graphics;
    const TextAttributes attributes { graphics.systemFontOfSize(14.0) };
    const std::string flag = "\U0001F1FF\U0001F1F1";
    const double flagWidth = graphics.sizeWithAttributes(flag, attributes).width;
    auto symbol = graphics.imageWithSystemSymbolName("antenna.radiowaves.left.and.right", std::nullopt);
    ASSERT_TRUE(flagWidth > 10.0 && symbol);
    EXPECT_EQ(graphics.imageWithSystemSymbolName("no.such.symbol", std::nullopt), nullptr);
    auto image = graphics.makeImage({ flagWidth + 14.0, 18.0 });
    graphics.lockFocus(*image);
    graphics.drawAtPoint(flag, { 0.0, 0.0 }, attributes);
    graphics.drawInRect(*symbol, { { flagWidth + 2.0, 3.0 }, { 12.0, 12.0 } });
    graphics.unlockFocus(*image);
    // Coloured glyphs can only come from the colour emoji font; the symbol is neutral.
    const Bitmap bitmap = image->rasterize(2.0);
    EXPECT_GT(countPixels(bitmap, [](int alpha, int red, int green, int blue) {
        return alpha == 255 && std::max({ red, green, blue }) - std::min({ red, green, blue }) > 80;
    }, 0, static_cast<int>(2 * flagWidth)), 16);

    // From a 16-pixel cell (about 6 pixels of symbol) to a doubled 48-pixel one, laid over black and
    // over white, enough of the symbol lies more than half the range apart from the panel.
    for (double side : { 6.0, 9.0, 12.0, 18.0, 36.0 }) {
        auto cell = graphics.makeImage({ side, side });
        graphics.lockFocus(*cell);
        graphics.drawInRect(*symbol, { { 0, 0 }, { side, side } });
        graphics.unlockFocus(*cell);
        const Bitmap bitmap = cell->rasterize(1.0);
        for (int panel : { 0x00, 0xff })
            EXPECT_GE(countPixels(bitmap, [&](int alpha, int, int green, int) {
                return std::abs(green + panel * (255 - alpha) / 255 - panel) > 128;
            }), static_cast<int>(side)) << side << " px on grey " << panel;
    }
}
