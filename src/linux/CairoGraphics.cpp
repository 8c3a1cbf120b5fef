#include "linux/CairoGraphics.h"

#include "linux/support/Log.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>
#include <variant>

namespace {

constexpr double smallFontSize = 11.0;
// The size a symbol image reports; drawn into a rectangle, it fills it whatever this is.
constexpr double symbolSize = 16.0;
// Text drawn without a font gets the toolkit's default body size.
constexpr double defaultFontSize = 12.0;
// Cairo cannot make image surfaces larger than this in either direction.
constexpr double maximumPixelDimension = 32767.0;

struct DrawOperation;
using Recording = std::vector<DrawOperation>;

/// Text with its layout's top-left corner at origin, in the image's top-down coordinates.
struct TextOperation {
    std::string text;
    std::string fontFamily;
    double pointSize = 0.0;
    Point origin;
};

/// A symbol drawn from its paths over the image's whole area.
struct SymbolOperation {
    void (*draw)(cairo_t* cr, double side);
};

/// Another image's recording scaled into rect (top-left origin, top-down coordinates).
struct ImageOperation {
    std::shared_ptr<const Recording> recording;
    Size sourceSize;
    Rect rect;
};

struct DrawOperation {
    std::variant<TextOperation, SymbolOperation, ImageOperation> operation;
};

std::string interfaceFontFamily()
{
    // Read without GTK; a desktop that does not install the GNOME schema must not abort us, which
    // g_settings_new() would do for a missing schema.
    if (GSettingsSchemaSource* source = g_settings_schema_source_get_default()) {
        GUniquePtr<GSettingsSchema> schema(
            g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE));
        if (schema && g_settings_schema_has_key(schema.get(), "font-name")) {
            auto settings = GRefPtr<GSettings>::adopt(g_settings_new_full(schema.get(), nullptr, nullptr));
            GUniquePtr<gchar> fontName(g_settings_get_string(settings.get(), "font-name"));
            GUniquePtr<PangoFontDescription> description(pango_font_description_from_string(fontName.get()));
            const char* family = pango_font_description_get_family(description.get());
            if (family && *family)
                return family;
        }
    }
    return "Sans";
}

/// Sets a context up for text. Metrics hinting is off so that a layout at scale 2 is exactly twice
/// the one measured at scale 1, and the drawn text lands where the measurement said it would.
void prepareForText(PangoContext* context)
{
    // Made once: every context copies them.
    static const GUniquePtr<cairo_font_options_t> options = [] {
        GUniquePtr<cairo_font_options_t> unhinted(cairo_font_options_create());
        cairo_font_options_set_hint_metrics(unhinted.get(), CAIRO_HINT_METRICS_OFF);
        return unhinted;
    }();
    pango_cairo_context_set_font_options(context, options.get());
    pango_context_set_round_glyph_positions(context, FALSE);
}

/// Lays text out on a context prepared for text.
GRefPtr<PangoLayout> makeLayout(PangoContext* context, std::string_view text, const std::string& fontFamily,
                                double pointSize)
{
    auto layout = GRefPtr<PangoLayout>::adopt(pango_layout_new(context));
    GUniquePtr<PangoFontDescription> description(pango_font_description_new());
    pango_font_description_set_family(description.get(), fontFamily.c_str());
    // Absolute size: one point is one device unit at scale 1, whatever the screen's DPI.
    pango_font_description_set_absolute_size(description.get(), pointSize * PANGO_SCALE);
    pango_layout_set_font_description(layout.get(), description.get());
    pango_layout_set_text(layout.get(), text.data(), static_cast<int>(text.size()));
    return layout;
}

Size logicalSize(PangoLayout* layout)
{
    PangoRectangle logical{};
    pango_layout_get_extents(layout, nullptr, &logical);
    return {static_cast<double>(logical.width) / PANGO_SCALE, static_cast<double>(logical.height) / PANGO_SCALE};
}

double fontSize(const TextAttributes& attributes)
{
    return attributes.font ? attributes.font->pointSize : defaultFontSize;
}

bool isUsableSize(Size size)
{
    return std::isfinite(size.width) && std::isfinite(size.height) && size.width > 0.0 && size.height > 0.0;
}

void replay(cairo_t* cr, const Recording& recording, Size size);

// Symbols are drawn on a 24 × 24 grid that is scaled to the image they fill.
constexpr double symbolGrid = 24.0;

/// "antenna.radiowaves.left.and.right": a mast sending waves to both sides, drawn into a square
/// of `side` device pixels. Light strokes inside a dark halo read on dark and light panels alike,
/// and no panel tells us its colour. Where a panel draws the symbol only a few pixels tall, the
/// strokes keep a floor of a pixel and the design thins out to a stem and one pair of waves,
/// which would otherwise blur into one blot.
void drawAntenna(cairo_t* cr, double side)
{
    const double pixel = symbolGrid / side;
    const bool isSmall = side < 14.0;
    // A stem a pixel wide is sharp only on a pixel's centre line.
    const double centreX = isSmall ? (std::floor(side / 2.0) + 0.5) * pixel : 12.0;
    const double waveCentreY = isSmall ? 8.0 : 8.5;
    const double dotRadius = isSmall ? std::max(2.0, 0.8 * pixel) : 2.2;
    const double stroke = std::max(2.0, pixel);
    const double haloMargin = std::max(0.9, 0.6 * pixel);

    auto traceStrokes = [&] {
        cairo_new_path(cr);
        if (isSmall) {
            cairo_move_to(cr, centreX, waveCentreY);
            cairo_line_to(cr, centreX, 22.0);
        } else {
            cairo_move_to(cr, 8.5, 21.5);
            cairo_line_to(cr, centreX, 11.0);
            cairo_line_to(cr, 15.5, 21.5);
            cairo_move_to(cr, 9.8, 17.5);
            cairo_line_to(cr, 14.2, 17.5);
        }
        const double waveRadii[] = {isSmall ? 8.0 : 5.0, 9.0};
        for (int wave = 0; wave < (isSmall ? 1 : 2); ++wave) {
            const double radius = waveRadii[wave];
            cairo_new_sub_path(cr);
            cairo_arc(cr, centreX, waveCentreY, radius, -G_PI / 4.0, G_PI / 4.0);
            cairo_new_sub_path(cr);
            cairo_arc(cr, centreX, waveCentreY, radius, 3.0 * G_PI / 4.0, 5.0 * G_PI / 4.0);
        }
    };
    auto drawLayer = [&](double red, double green, double blue, double margin) {
        cairo_set_source_rgb(cr, red, green, blue);
        traceStrokes();
        cairo_set_line_width(cr, stroke + 2.0 * margin);
        cairo_stroke(cr);
        cairo_arc(cr, centreX, waveCentreY, dotRadius + margin, 0.0, 2.0 * G_PI);
        cairo_fill(cr);
    };

    cairo_save(cr);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    // The halo is composed whole, so that where its strokes cross it is no more opaque.
    cairo_push_group(cr);
    drawLayer(0.0, 0.0, 0.0, haloMargin);
    cairo_pop_group_to_source(cr);
    cairo_paint_with_alpha(cr, 0.8);
    drawLayer(0.97, 0.97, 0.97, 0.0);
    cairo_restore(cr);
}

struct Symbol {
    std::string_view name;
    void (*draw)(cairo_t* cr, double side);
};

constexpr Symbol symbols[] = {
    {"antenna.radiowaves.left.and.right", drawAntenna},
};

void replayOne(cairo_t* cr, const TextOperation& text)
{
    auto context = GRefPtr<PangoContext>::adopt(pango_cairo_create_context(cr));
    prepareForText(context.get());
    auto layout = makeLayout(context.get(), text.text, text.fontFamily, text.pointSize);
    cairo_save(cr);
    // Uncoloured text is black, as the toolkit's default; colour glyphs keep their own colours.
    cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
    cairo_move_to(cr, text.origin.x, text.origin.y);
    pango_cairo_show_layout(cr, layout.get());
    cairo_restore(cr);
}

void replayOne(cairo_t* cr, const SymbolOperation& symbol, Size size)
{
    // A symbol's square is put on whole device pixels, so that it comes out alike wherever the
    // text beside it ends and its strokes can keep to the pixel grid.
    double left = 0.0;
    double top = 0.0;
    double right = size.width;
    double bottom = size.height;
    cairo_user_to_device(cr, &left, &top);
    cairo_user_to_device(cr, &right, &bottom);
    const double side = std::max(1.0, std::round(std::min(right - left, bottom - top)));
    cairo_save(cr);
    cairo_identity_matrix(cr);
    cairo_translate(cr, std::round(left), std::round(top));
    cairo_scale(cr, side / symbolGrid, side / symbolGrid);
    symbol.draw(cr, side);
    cairo_restore(cr);
}

void replayOne(cairo_t* cr, const ImageOperation& image)
{
    if (!isUsableSize(image.sourceSize) || !isUsableSize(image.rect.size))
        return;
    cairo_save(cr);
    cairo_translate(cr, image.rect.origin.x, image.rect.origin.y);
    cairo_scale(cr, image.rect.size.width / image.sourceSize.width, image.rect.size.height / image.sourceSize.height);
    replay(cr, *image.recording, image.sourceSize);
    cairo_restore(cr);
}

void replay(cairo_t* cr, const Recording& recording, Size size)
{
    cairo_save(cr);
    cairo_rectangle(cr, 0.0, 0.0, size.width, size.height);
    cairo_clip(cr);
    for (const auto& entry : recording) {
        std::visit(
            [&](const auto& operation) {
                if constexpr (std::is_same_v<std::decay_t<decltype(operation)>, SymbolOperation>)
                    replayOne(cr, operation, size);
                else
                    replayOne(cr, operation);
            },
            entry.operation);
    }
    cairo_restore(cr);
}

int pixelDimension(double points, double scale)
{
    // Sizes come from Pango in 1/1024 steps; the tolerance keeps float noise from adding a pixel.
    const double pixels = std::ceil(points * scale - 1e-6);
    if (!std::isfinite(pixels) || pixels <= 0.0 || pixels > maximumPixelDimension)
        return 0;
    return static_cast<int>(pixels);
}

} // namespace

/// An image as the list of drawing operations made into it.
class CairoImage final : public Image {
public:
    explicit CairoImage(Size size)
        : m_size(size)
    {
    }

    Size size() const override { return m_size; }
    bool isTemplate() const override { return m_isTemplate; }
    void setTemplate(bool isTemplate) override { m_isTemplate = isTemplate; }

    Bitmap rasterize(double scale) const override
    {
        Bitmap bitmap;
        if (!std::isfinite(scale) || scale <= 0.0)
            return bitmap;
        const int width = pixelDimension(m_size.width, scale);
        const int height = pixelDimension(m_size.height, scale);
        if (width == 0 || height == 0)
            return bitmap;

        GUniquePtr<cairo_surface_t> surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
        GUniquePtr<cairo_t> cr(cairo_create(surface.get()));
        cairo_scale(cr.get(), scale, scale);
        replay(cr.get(), m_recording, m_size);
        cairo_surface_flush(surface.get());
        if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
            logLine("cannot draw an image: %s", cairo_status_to_string(cairo_surface_status(surface.get())));
            return bitmap;
        }

        // Cairo's ARGB32 is already premultiplied, native-endian 32-bit pixels; only the row
        // padding has to go.
        bitmap.width = width;
        bitmap.height = height;
        bitmap.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
        const unsigned char* data = cairo_image_surface_get_data(surface.get());
        const auto stride = static_cast<std::size_t>(cairo_image_surface_get_stride(surface.get()));
        const auto rowBytes = static_cast<std::size_t>(width) * sizeof(std::uint32_t);
        for (std::size_t row = 0; row < static_cast<std::size_t>(height); ++row)
            std::memcpy(bitmap.pixels.data() + row * static_cast<std::size_t>(width), data + row * stride, rowBytes);
        return bitmap;
    }

    const Recording& recording() const { return m_recording; }
    void record(DrawOperation operation) { m_recording.push_back(std::move(operation)); }

private:
    Size m_size;
    bool m_isTemplate = false;
    Recording m_recording;
};

CairoGraphics::CairoGraphics()
    : m_fontFamily(interfaceFontFamily())
    , m_measuringContext(
          GRefPtr<PangoContext>::adopt(pango_font_map_create_context(pango_cairo_font_map_get_default())))
{
    prepareForText(m_measuringContext.get());
}

CairoGraphics::~CairoGraphics() = default;

Font CairoGraphics::systemFontOfSize(double pointSize)
{
    return Font{pointSize};
}

double CairoGraphics::smallSystemFontSize()
{
    return smallFontSize;
}

Size CairoGraphics::sizeWithAttributes(std::string_view text, const TextAttributes& attributes)
{
    auto layout = makeLayout(m_measuringContext.get(), text, m_fontFamily, fontSize(attributes));
    return logicalSize(layout.get());
}

std::shared_ptr<Image> CairoGraphics::imageWithSystemSymbolName(std::string_view name,
                                                                std::optional<std::string> /*accessibilityDescription*/)
{
    const auto* symbol = std::find_if(std::begin(symbols), std::end(symbols),
                                      [&](const Symbol& candidate) { return candidate.name == name; });
    if (symbol == std::end(symbols))
        return nullptr;
    auto image = std::make_shared<CairoImage>(Size{symbolSize, symbolSize});
    image->record({SymbolOperation{symbol->draw}});
    return image;
}

std::shared_ptr<Image> CairoGraphics::makeImage(Size size)
{
    return std::make_shared<CairoImage>(size);
}

void CairoGraphics::lockFocus(Image& image)
{
    auto* cairoImage = dynamic_cast<CairoImage*>(&image);
    if (!cairoImage) {
        logLine("cannot draw into an image made elsewhere");
        return;
    }
    m_focusStack.push_back(cairoImage);
}

void CairoGraphics::unlockFocus(Image& image)
{
    auto found = std::find(m_focusStack.rbegin(), m_focusStack.rend(), &image);
    if (found != m_focusStack.rend())
        m_focusStack.erase(std::next(found).base());
}

CairoImage* CairoGraphics::focusedImage() const
{
    return m_focusStack.empty() ? nullptr : m_focusStack.back();
}

void CairoGraphics::drawAtPoint(std::string_view text, Point point, const TextAttributes& attributes)
{
    auto* image = focusedImage();
    if (!image)
        return;
    const double pointSize = fontSize(attributes);
    const Size textSize = sizeWithAttributes(text, attributes);
    // The port's origin is the bottom left with y upwards; cairo's is the top left with y downwards.
    const Point topLeft{point.x, image->size().height - point.y - textSize.height};
    image->record({TextOperation{std::string(text), m_fontFamily, pointSize, topLeft}});
}

void CairoGraphics::drawInRect(const Image& source, Rect rect)
{
    auto* image = focusedImage();
    if (!image)
        return;
    const auto* cairoSource = dynamic_cast<const CairoImage*>(&source);
    if (!cairoSource) {
        logLine("cannot draw an image made elsewhere");
        return;
    }
    // A snapshot: drawing into the source later does not change what was drawn here.
    auto recording = std::make_shared<const Recording>(cairoSource->recording());
    const Rect topDown{{rect.origin.x, image->size().height - rect.origin.y - rect.size.height}, rect.size};
    image->record({ImageOperation{std::move(recording), source.size(), topDown}});
}
