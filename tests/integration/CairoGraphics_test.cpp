#include "linux/CairoGraphics.h"
#include "support/TestServices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace zelna::test;

namespace {

const std::filesystem::path builtSymbols = std::filesystem::path(ZELNA_BINARY_DIR) / "share/zelnamenu/symbols";
constexpr std::string_view antenna = "antenna.radiowaves.left.and.right";
constexpr std::string_view flag = "\U0001F1FF\U0001F1F1";

struct Pixel {
    int alpha, red, green, blue;
};

Pixel pixelAt(const Bitmap& bitmap, int x, int y)
{
    const std::uint32_t value = bitmap.pixels[static_cast<std::size_t>(y * bitmap.width + x)];
    return {static_cast<int>(value >> 24), static_cast<int>((value >> 16) & 0xff),
            static_cast<int>((value >> 8) & 0xff), static_cast<int>(value & 0xff)};
}

/// Counts the pixels in columns [fromX, toX) that satisfy predicate.
template <typename Predicate> int countPixels(const Bitmap& bitmap, int fromX, int toX, Predicate predicate)
{
    int count = 0;
    for (int y = 0; y < bitmap.height; ++y)
        for (int x = std::max(fromX, 0); x < std::min(toX, bitmap.width); ++x)
            count += predicate(pixelAt(bitmap, x, y)) ? 1 : 0;
    return count;
}

bool isInked(Pixel pixel)
{
    return pixel.alpha > 0;
}

bool isColourful(Pixel pixel)
{
    return pixel.alpha == 255
        && std::max({pixel.red, pixel.green, pixel.blue}) - std::min({pixel.red, pixel.green, pixel.blue}) > 80;
}

/// The status image exactly as the menu manager composes it.
std::shared_ptr<Image> composeStatusImage(Graphics& graphics, double* flagWidth)
{
    const TextAttributes attributes{graphics.systemFontOfSize(14.0)};
    const Size flagSize = graphics.sizeWithAttributes(flag, attributes);
    auto symbol = graphics.imageWithSystemSymbolName(antenna, std::nullopt);
    const double height = std::max(flagSize.height, 12.0);
    auto image = graphics.makeImage({flagSize.width + 14.0, height});
    graphics.lockFocus(*image);
    graphics.drawAtPoint(flag, {0.0, (height - flagSize.height) * 0.5}, attributes);
    if (symbol)
        graphics.drawInRect(*symbol, {{flagSize.width + 2.0, (height - 12.0) * 0.5}, {12.0, 12.0}});
    graphics.unlockFocus(*image);
    *flagWidth = flagSize.width;
    return image;
}

/// A new image of imageSize with the antenna symbol drawn into rect; null without the symbol.
std::shared_ptr<Image> imageWithSymbol(Graphics& graphics, Size imageSize, Rect rect)
{
    auto symbol = graphics.imageWithSystemSymbolName(antenna, std::nullopt);
    if (!symbol)
        return nullptr;
    auto image = graphics.makeImage(imageSize);
    graphics.lockFocus(*image);
    graphics.drawInRect(*symbol, rect);
    graphics.unlockFocus(*image);
    return image;
}

} // namespace

TEST(CairoGraphicsTest, StatusImageShowsTheColourFlagAndTheSymbol)
{
    CairoGraphics graphics(builtSymbols);
    double flagWidth = 0.0;
    auto image = composeStatusImage(graphics, &flagWidth);
    ASSERT_GT(flagWidth, 10.0);
    EXPECT_GE(image->size().height, 12.0);
    EXPECT_FALSE(image->isTemplate());

    for (double scale : {1.0, 2.0}) {
        SCOPED_TRACE(scale);
        const Bitmap bitmap = image->rasterize(scale);
        ASSERT_EQ(bitmap.width, static_cast<int>(std::ceil(image->size().width * scale)));
        ASSERT_EQ(bitmap.height, static_cast<int>(std::ceil(image->size().height * scale)));
        ASSERT_EQ(bitmap.pixels.size(), static_cast<std::size_t>(bitmap.width * bitmap.height));

        const int flagEnd = static_cast<int>(std::floor(flagWidth * scale));
        const int symbolStart = static_cast<int>(std::ceil((flagWidth + 2.0) * scale));
        // Coloured glyphs can only come from the colour emoji font.
        EXPECT_GT(countPixels(bitmap, 0, flagEnd, isColourful), 4 * scale * scale);
        // The symbol is a neutral grey and fills a fair part of its box.
        const int symbolInk = countPixels(bitmap, symbolStart, bitmap.width, isInked);
        EXPECT_GT(symbolInk, static_cast<int>(20 * scale * scale));
        EXPECT_EQ(countPixels(bitmap, symbolStart, bitmap.width, isColourful), 0);
    }
}

TEST(CairoGraphicsTest, RasterizingReplaysTheDrawingSharplyAtEachScale)
{
    CairoGraphics graphics(builtSymbols);
    auto image = imageWithSymbol(graphics, {12.0, 12.0}, {{0.0, 0.0}, {12.0, 12.0}});
    ASSERT_TRUE(image);

    const Bitmap single = image->rasterize(1.0);
    const Bitmap twice = image->rasterize(2.0);
    ASSERT_EQ(single.width, 12);
    ASSERT_EQ(twice.width, 24);
    ASSERT_EQ(twice.height, 24);

    const auto edgeShare = [](const Bitmap& bitmap) {
        const int partial = countPixels(bitmap, 0, bitmap.width, [](Pixel p) { return p.alpha > 0 && p.alpha < 255; });
        return static_cast<double>(partial) / countPixels(bitmap, 0, bitmap.width, isInked);
    };
    const int singleInk = countPixels(single, 0, single.width, isInked);
    const int twiceInk = countPixels(twice, 0, twice.width, isInked);
    EXPECT_NEAR(static_cast<double>(twiceInk) / singleInk, 4.0, 1.5);
    // Drawn again from the vectors, the doubled image has relatively fewer blurred edge pixels;
    // an upscaled bitmap would have as many or more.
    EXPECT_LT(edgeShare(twice), edgeShare(single));

    // Cairo's pixels are premultiplied: no channel exceeds alpha.
    for (const Bitmap* bitmap : {&single, &twice})
        EXPECT_EQ(countPixels(*bitmap, 0, bitmap->width,
                              [](Pixel p) { return p.red > p.alpha || p.green > p.alpha || p.blue > p.alpha; }),
                  0);
}

TEST(CairoGraphicsTest, DrawingUsesBottomLeftOrigin)
{
    CairoGraphics graphics(builtSymbols);
    auto image = imageWithSymbol(graphics, {24.0, 24.0}, {{0.0, 0.0}, {12.0, 12.0}});
    ASSERT_TRUE(image);

    const Bitmap bitmap = image->rasterize(1.0);
    int topHalf = 0;
    int bottomLeft = 0;
    int bottomRight = 0;
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 24; ++x) {
            if (!isInked(pixelAt(bitmap, x, y)))
                continue;
            if (y < 12)
                ++topHalf;
            else if (x < 12)
                ++bottomLeft;
            else
                ++bottomRight;
        }
    EXPECT_EQ(topHalf, 0);
    EXPECT_EQ(bottomRight, 0);
    EXPECT_GT(bottomLeft, 20);
}

TEST(CairoGraphicsTest, TextIsMeasuredInPointsOfTheGivenSize)
{
    CairoGraphics graphics(builtSymbols);
    const Size small = graphics.sizeWithAttributes("Zelna", {graphics.systemFontOfSize(14.0)});
    const Size large = graphics.sizeWithAttributes("Zelna", {graphics.systemFontOfSize(28.0)});
    const Size longer = graphics.sizeWithAttributes("Zelna Prime", {graphics.systemFontOfSize(14.0)});
    EXPECT_GT(small.width, 14.0);
    EXPECT_NEAR(small.height, 14.0 * 1.2, 14.0 * 0.4);
    EXPECT_NEAR(large.width, 2.0 * small.width, 0.5);
    EXPECT_NEAR(large.height, 2.0 * small.height, 0.5);
    EXPECT_GT(longer.width, small.width);
    EXPECT_EQ(graphics.smallSystemFontSize(), 11.0);

    // Drawn text stays inside the measured box (with a pixel for antialiasing).
    auto image = graphics.makeImage({small.width + 10.0, small.height + 10.0});
    graphics.lockFocus(*image);
    graphics.drawAtPoint("Zelna", {5.0, 5.0}, {graphics.systemFontOfSize(14.0)});
    graphics.unlockFocus(*image);
    const Bitmap bitmap = image->rasterize(1.0);
    EXPECT_GT(countPixels(bitmap, 0, bitmap.width, isInked), 20);
    EXPECT_EQ(countPixels(bitmap, 0, 4, isInked), 0);
    EXPECT_EQ(countPixels(bitmap, static_cast<int>(std::ceil(small.width)) + 6, bitmap.width, isInked), 0);
    for (int y : {0, 1, 2, 3, bitmap.height - 4, bitmap.height - 3, bitmap.height - 2, bitmap.height - 1})
        for (int x = 0; x < bitmap.width; ++x)
            EXPECT_FALSE(isInked(pixelAt(bitmap, x, y))) << x << "," << y;
}

TEST(CairoGraphicsTest, UnknownSymbolsAndDegenerateImagesGiveNothing)
{
    ScratchDirectory emptyFolder;
    CairoGraphics withoutSymbols(emptyFolder.path());
    EXPECT_EQ(withoutSymbols.imageWithSystemSymbolName(antenna, std::nullopt), nullptr);

    CairoGraphics graphics(builtSymbols);
    EXPECT_EQ(graphics.imageWithSystemSymbolName("no.such.symbol", std::nullopt), nullptr);
    // A name never reaches outside the symbol folder.
    EXPECT_EQ(graphics.imageWithSystemSymbolName("../symbols/" + std::string(antenna), std::nullopt), nullptr);

    {
        std::ofstream broken(std::filesystem::path(emptyFolder.path()) / "broken.svg");
        broken << "<svg";
    }
    EXPECT_EQ(withoutSymbols.imageWithSystemSymbolName("broken", std::nullopt), nullptr);

    for (Size size : {Size{0.0, 10.0}, Size{-3.0, 10.0}, Size{1e9, 10.0}, Size{NAN, 10.0}}) {
        const Bitmap bitmap = graphics.makeImage(size)->rasterize(2.0);
        EXPECT_EQ(bitmap.width * bitmap.height, 0);
        EXPECT_TRUE(bitmap.pixels.empty());
    }
    EXPECT_TRUE(graphics.makeImage({10.0, 10.0})->rasterize(0.0).pixels.empty());
}

namespace {

/// Ends a death-test child: status 0 when the family is the expected one. exit() skips the
/// child's destructors, so its scratch folder goes by hand.
[[noreturn]] void exitWithFamilyCheck(const ScratchDirectory& home, const std::string& expected)
{
    const bool isExpected = CairoGraphics(builtSymbols).fontFamily() == expected;
    std::filesystem::remove_all(home.path());
    std::exit(isExpected ? 0 : 1);
}

} // namespace

// The font family is read once per process from GSettings, so each case runs in a fresh child.
TEST(CairoGraphicsFontTest, FamilyComesFromTheDesktopSettingOrSans)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ScratchDirectory home;
    const auto settingsFolder = std::filesystem::path(home.path()) / "glib-2.0/settings";
    std::filesystem::create_directories(settingsFolder);
    std::ofstream(settingsFolder / "keyfile") << "[org/gnome/desktop/interface]\nfont-name='DejaVu Serif 13'\n";

    EXPECT_EXIT(
        {
            setenv("GSETTINGS_BACKEND", "keyfile", 1);
            setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
            exitWithFamilyCheck(home, "DejaVu Serif");
        },
        testing::ExitedWithCode(0), "");

    // No schema installed at all: no abort, and the generic family.
    EXPECT_EXIT(
        {
            setenv("GSETTINGS_SCHEMA_DIR", home.path().c_str(), 1);
            setenv("XDG_DATA_DIRS", home.path().c_str(), 1);
            exitWithFamilyCheck(home, "Sans");
        },
        testing::ExitedWithCode(0), "");
}
