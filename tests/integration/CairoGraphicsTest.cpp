#include "linux/CairoGraphics.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

using namespace zelna::test;

namespace {

const std::filesystem::path builtSymbols = std::filesystem::path(ZELNA_BINARY_DIR) / "share/zelnamenu/symbols";
constexpr std::string_view antenna = "antenna.radiowaves.left.and.right";

struct Pixel {
    int alpha, red, green, blue;
};

/// Counts the pixels in columns [x0, x1) and rows [y0, y1) (top down) that satisfy predicate.
int countPixels(const Bitmap& bitmap, const std::function<bool(Pixel)>& predicate, int x0 = 0, int x1 = INT32_MAX,
    int y0 = 0, int y1 = INT32_MAX)
{
    int count = 0;
    for (int y = std::max(y0, 0); y < std::min(y1, bitmap.height); ++y)
        for (int x = std::max(x0, 0); x < std::min(x1, bitmap.width); ++x) {
            const std::uint32_t value = bitmap.pixels[static_cast<std::size_t>(y * bitmap.width + x)];
            count += predicate({ static_cast<int>(value >> 24), static_cast<int>((value >> 16) & 0xff),
                static_cast<int>((value >> 8) & 0xff), static_cast<int>(value & 0xff) });
        }
    return count;
}

const auto isInked = [](Pixel p) { return p.alpha > 0; };
const auto isColourful = [](Pixel p) {
    return p.alpha == 255 && std::max({ p.red, p.green, p.blue }) - std::min({ p.red, p.green, p.blue }) > 80;
};

std::shared_ptr<Image> drawImage(Graphics& graphics, Size size, const std::function<void()>& drawing)
{
    auto image = graphics.makeImage(size);
    graphics.lockFocus(*image);
    drawing();
    graphics.unlockFocus(*image);
    return image;
}

} // namespace

TEST(CairoGraphicsTest, StatusImageShowsTheColourFlagAndTheSymbol)
{
    CairoGraphics graphics(builtSymbols);
    const TextAttributes attributes { graphics.systemFontOfSize(14.0) };
    const std::string flag = "\U0001F1FF\U0001F1F1";
    const double flagWidth = graphics.sizeWithAttributes(flag, attributes).width;
    ASSERT_GT(flagWidth, 10.0);
    auto symbol = graphics.imageWithSystemSymbolName(antenna, std::nullopt);
    ASSERT_TRUE(symbol);
    auto image = drawImage(graphics, { flagWidth + 14.0, 18.0 }, [&] {
        graphics.drawAtPoint(flag, { 0.0, 0.0 }, attributes);
        graphics.drawInRect(*symbol, { { flagWidth + 2.0, 3.0 }, { 12.0, 12.0 } });
    });

    for (double scale : { 1.0, 2.0 }) {
        SCOPED_TRACE(scale);
        const Bitmap bitmap = image->rasterize(scale);
        ASSERT_EQ(bitmap.width, static_cast<int>(std::ceil((flagWidth + 14.0) * scale)));
        ASSERT_EQ(bitmap.height, static_cast<int>(18.0 * scale));
        ASSERT_EQ(bitmap.pixels.size(), static_cast<std::size_t>(bitmap.width * bitmap.height));
        const int flagEnd = static_cast<int>(std::floor(flagWidth * scale));
        const int symbolStart = static_cast<int>(std::ceil((flagWidth + 2.0) * scale));
        // Coloured glyphs can only come from the colour emoji font.
        EXPECT_GT(countPixels(bitmap, isColourful, 0, flagEnd), 4 * scale * scale);
        // The symbol is a neutral grey and fills a fair part of its box.
        EXPECT_GT(countPixels(bitmap, isInked, symbolStart), static_cast<int>(20 * scale * scale));
        EXPECT_EQ(countPixels(bitmap, isColourful, symbolStart), 0);
    }
}

TEST(CairoGraphicsTest, DrawingUsesBottomLeftOriginAndIsReplayedSharplyAtEachScale)
{
    CairoGraphics graphics(builtSymbols);
    auto symbol = graphics.imageWithSystemSymbolName(antenna, std::nullopt);
    ASSERT_TRUE(symbol);
    auto image = drawImage(graphics, { 24.0, 24.0 }, [&] {
        graphics.drawInRect(*symbol, { { 0.0, 0.0 }, { 12.0, 12.0 } });
    });

    const Bitmap single = image->rasterize(1.0);
    const Bitmap twice = image->rasterize(2.0);
    ASSERT_EQ(twice.width, 48);
    for (const Bitmap* bitmap : { &single, &twice }) {
        const int half = bitmap->width / 2;
        EXPECT_GT(countPixels(*bitmap, isInked, 0, half, half), 20);
        EXPECT_EQ(countPixels(*bitmap, isInked, 0, INT32_MAX, 0, half), 0) << "ink in the top half";
        EXPECT_EQ(countPixels(*bitmap, isInked, half), 0) << "ink on the right";
        // Cairo's pixels are premultiplied: no channel exceeds alpha.
        EXPECT_EQ(countPixels(*bitmap, [](Pixel p) { return std::max({ p.red, p.green, p.blue }) > p.alpha; }), 0);
    }

    const auto edgeShare = [](const Bitmap& bitmap) {
        return static_cast<double>(countPixels(bitmap, [](Pixel p) { return p.alpha > 0 && p.alpha < 255; }))
            / countPixels(bitmap, isInked);
    };
    EXPECT_NEAR(static_cast<double>(countPixels(twice, isInked)) / countPixels(single, isInked), 4.0, 1.5);
    // Drawn again from the vectors, the doubled image has relatively fewer blurred edge pixels;
    // an upscaled bitmap would have as many or more.
    EXPECT_LT(edgeShare(twice), edgeShare(single));
}

TEST(CairoGraphicsTest, TextIsMeasuredInPointsOfTheGivenSizeAndDrawnInsideItsBox)
{
    CairoGraphics graphics(builtSymbols);
    const Size small = graphics.sizeWithAttributes("Zelna", { graphics.systemFontOfSize(14.0) });
    const Size large = graphics.sizeWithAttributes("Zelna", { graphics.systemFontOfSize(28.0) });
    EXPECT_GT(small.width, 14.0);
    EXPECT_NEAR(small.height, 14.0 * 1.2, 14.0 * 0.4);
    EXPECT_NEAR(large.width, 2.0 * small.width, 0.5);

    // Within the measured box, with a pixel for antialiasing.
    auto image = drawImage(graphics, { small.width + 10.0, small.height + 10.0 }, [&] {
        graphics.drawAtPoint("Zelna", { 5.0, 5.0 }, { graphics.systemFontOfSize(14.0) });
    });
    const Bitmap bitmap = image->rasterize(1.0);
    const int ink = countPixels(bitmap, isInked);
    EXPECT_GT(ink, 20);
    EXPECT_EQ(countPixels(bitmap, isInked, 4, static_cast<int>(std::ceil(small.width)) + 6, 4, bitmap.height - 4), ink);
}

TEST(CairoGraphicsTest, UnknownSymbolsAndDegenerateImagesGiveNothing)
{
    ScratchDirectory emptyFolder;
    CairoGraphics withoutSymbols(emptyFolder.path());
    EXPECT_EQ(withoutSymbols.imageWithSystemSymbolName(antenna, std::nullopt), nullptr);
    std::ofstream(std::filesystem::path(emptyFolder.path()) / "broken.svg") << "<svg";
    EXPECT_EQ(withoutSymbols.imageWithSystemSymbolName("broken", std::nullopt), nullptr);

    CairoGraphics graphics(builtSymbols);
    EXPECT_EQ(graphics.imageWithSystemSymbolName("no.such.symbol", std::nullopt), nullptr);
    // A name never reaches outside the symbol folder.
    EXPECT_EQ(graphics.imageWithSystemSymbolName("../symbols/" + std::string(antenna), std::nullopt), nullptr);

    for (Size size : { Size { 0.0, 10.0 }, Size { -3.0, 10.0 }, Size { 1e9, 10.0 }, Size { NAN, 10.0 } }) {
        const Bitmap bitmap = graphics.makeImage(size)->rasterize(2.0);
        EXPECT_EQ(bitmap.width * bitmap.height, 0);
        EXPECT_TRUE(bitmap.pixels.empty());
    }
    EXPECT_TRUE(graphics.makeImage({ 10.0, 10.0 })->rasterize(0.0).pixels.empty());
}

// The font family is read once per process from GSettings, so each case runs in a fresh child,
// which exits 0 when the family is the expected one. exit() skips the child's destructors, so
// its scratch folder goes by hand.
TEST(CairoGraphicsFontTest, FamilyComesFromTheDesktopSettingOrSans)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ScratchDirectory home;
    const auto settingsFolder = std::filesystem::path(home.path()) / "glib-2.0/settings";
    std::filesystem::create_directories(settingsFolder);
    std::ofstream(settingsFolder / "keyfile") << "[org/gnome/desktop/interface]\nfont-name='DejaVu Serif 13'\n";
    const std::string folder = home.path();
    for (const auto& [variables, family] : std::vector<std::pair<std::map<std::string, std::string>, std::string>> {
             { { { "GSETTINGS_BACKEND", "keyfile" }, { "XDG_CONFIG_HOME", folder } }, "DejaVu Serif" },
             // No schema installed at all: no abort, and the generic family.
             { { { "GSETTINGS_SCHEMA_DIR", folder }, { "XDG_DATA_DIRS", folder } }, "Sans" } })
        EXPECT_EXIT(
            {
                for (const auto& [name, value] : variables)
                    setenv(name.c_str(), value.c_str(), 1);
                const bool isExpected = CairoGraphics(builtSymbols).fontFamily() == family;
                std::filesystem::remove_all(folder);
                std::exit(isExpected ? 0 : 1);
            },
            testing::ExitedWithCode(0), "")
            << family;
}
