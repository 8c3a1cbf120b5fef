// CairoGraphics with the machine's fonts and the build's symbol.

#include "linux/CairoGraphics.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

using namespace zelna::test;

TEST(CairoGraphicsTest, TheFlagIsInColourAndTheSymbolSharpAtEachScaleAndNothingIsDrawnOfWhatIsMissing)
{
    CairoGraphics graphics(ZELNA_BINARY_DIR "/share/zelnamenu/symbols");
    const TextAttributes attributes { graphics.systemFontOfSize(14.0) };
    const double flag = graphics.sizeWithAttributes("\U0001F1FF\U0001F1F1", attributes).width;
    auto symbol = graphics.imageWithSystemSymbolName("antenna.radiowaves.left.and.right", std::nullopt);
    ASSERT_TRUE(symbol && flag > 10.0);
    // The flag, then two points on, the symbol in the bottom left quarter of a 24-point square.
    auto image = graphics.makeImage({ flag + 26.0, 24.0 });
    graphics.lockFocus(*image);
    graphics.drawAtPoint("\U0001F1FF\U0001F1F1", { 0.0, 0.0 }, attributes);
    graphics.drawInRect(*symbol, { { flag + 2.0, 0.0 }, { 12.0, 12.0 } });
    graphics.unlockFocus(*image);
    std::vector<double> blurredShare;
    for (int scale : { 1, 2 }) {
        const Bitmap bitmap = image->rasterize(scale);
        ASSERT_EQ(bitmap.width, static_cast<int>(std::ceil((flag + 26.0) * scale)));
        // Pixels of the flag's columns in colour; of the symbol's square inked, at its top, partly.
        int colourful = 0, inked = 0, inkedAtTop = 0, partly = 0;
        for (int y = 0; y < bitmap.height; ++y)
            for (int x = 0; x < bitmap.width; ++x) {
                const auto channel = [&](int shift) {
                    return static_cast<int>((bitmap.pixels[static_cast<std::size_t>(y * bitmap.width + x)] >> shift) & 0xff);
                };
                const int a = channel(24), r = channel(16), g = channel(8), b = channel(0);
                if (x < flag * scale)
                    colourful += a == 255 && std::max({ r, g, b }) - std::min({ r, g, b }) > 80;
                else if (x >= (flag + 2.0) * scale)
                    inked += a > 0, inkedAtTop += a > 0 && y < 12 * scale, partly += a > 0 && a < 255;
            }
        EXPECT_GT(colourful, 4 * scale * scale) << "only an emoji font draws colour";
        EXPECT_GT(inked, 20 * scale * scale);
        EXPECT_EQ(inkedAtTop, 0) << "the origin is at the bottom left";
        blurredShare.push_back(double(partly) / inked);
    }
    EXPECT_LT(blurredShare[1], blurredShare[0]) << "drawn again from the vectors, not upscaled";

    ScratchDirectory folder;
    writeFile(folder.path / "broken.svg", "<svg");
    EXPECT_FALSE(CairoGraphics(folder.path).imageWithSystemSymbolName("broken", std::nullopt));
    EXPECT_FALSE(graphics.imageWithSystemSymbolName("no.such.symbol", std::nullopt));
    EXPECT_FALSE(graphics.imageWithSystemSymbolName("../symbols/antenna.radiowaves.left.and.right", std::nullopt));
    for (Size size : { Size { 0.0, 10.0 }, Size { -3.0, 10.0 }, Size { 1e9, 10.0 }, Size { NAN, 10.0 } })
        EXPECT_TRUE(graphics.makeImage(size)->rasterize(2.0).pixels.empty()) << size.width;
}
