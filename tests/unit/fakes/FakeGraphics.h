#pragma once

#include "fakes/EventLog.h"
#include "ports/Graphics.h"

#include <vector>

class FakeImage final : public Image {
public:
    explicit FakeImage(Size size) : imageSize(size) { }
    Size size() const override { return imageSize; }
    bool isTemplate() const override { return templateFlag; }
    void setTemplate(bool value) override { templateFlag = value; }
    Bitmap rasterize(double) const override { return {}; }

    struct Drawing {
        std::string what; ///< the text, or "image"
        Rect rect;        ///< for text: origin only
        std::optional<Font> font;
        bool wasFocused;
    };
    Size imageSize;
    bool templateFlag = true; ///< Starts as a template so that a forgotten setTemplate(false) shows.
    std::vector<Drawing> drawings;
};

/// Measures every text as flagSize; draws into the focused FakeImage.
class FakeGraphics final : public Graphics {
public:
    Font systemFontOfSize(double pointSize) override { return Font{pointSize}; }
    double smallSystemFontSize() override { return 11.0; }
    Size sizeWithAttributes(std::string_view text, const TextAttributes& attributes) override
    {
        measured.emplace_back(text);
        measuredFonts.push_back(attributes.font);
        return flagSize;
    }
    std::shared_ptr<Image> imageWithSystemSymbolName(std::string_view name, std::optional<std::string> description) override
    {
        symbolRequests.emplace_back(name);
        symbolDescriptions.push_back(std::move(description));
        return hasSymbol ? symbol : nullptr;
    }
    std::shared_ptr<Image> makeImage(Size size) override
    {
        images.push_back(std::make_shared<FakeImage>(size));
        return images.back();
    }
    void lockFocus(Image& image) override { focused = &static_cast<FakeImage&>(image); }
    void unlockFocus(Image&) override { focused = nullptr; }
    void drawAtPoint(std::string_view text, Point point, const TextAttributes& attributes) override
    {
        target().drawings.push_back({std::string(text), {point, {}}, attributes.font, focused != nullptr});
    }
    void drawInRect(const Image& image, Rect rect) override
    {
        target().drawings.push_back({&image == symbol.get() ? "symbol" : "image", rect, std::nullopt, focused != nullptr});
    }

    Size flagSize{20.0, 17.0};
    bool hasSymbol = true;
    std::shared_ptr<FakeImage> symbol = std::make_shared<FakeImage>(Size{16.0, 16.0});
    std::vector<std::shared_ptr<FakeImage>> images;
    std::vector<std::string> measured, symbolRequests;
    std::vector<std::optional<Font>> measuredFonts;
    std::vector<std::optional<std::string>> symbolDescriptions;
    FakeImage* focused = nullptr;

private:
    FakeImage& target() { return focused ? *focused : *images.back(); }
};
