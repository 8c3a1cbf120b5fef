#include "linux/support/AppcastFeed.h"

#include "linux/support/GOwned.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace {

constexpr std::string_view sparkleNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string_view trimmed(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

struct VersionSegment {
    bool isNumber;
    std::string_view text; ///< For numbers: the digits without leading zeros, empty for zero.
};

std::vector<VersionSegment> versionSegments(std::string_view version)
{
    version = trimmed(version);
    version = version.substr(0, version.find('+'));
    if (version.size() > 1 && (version[0] == 'v' || version[0] == 'V') && isDigit(version[1]))
        version.remove_prefix(1);

    std::vector<VersionSegment> segments;
    std::size_t at = 0;
    while (at < version.size()) {
        const bool number = isDigit(version[at]);
        if (!number && !isLetter(version[at])) {
            ++at; // '.', '-', '_', blanks and the like only separate segments
            continue;
        }
        const std::size_t start = at;
        while (at < version.size() && (number ? isDigit(version[at]) : isLetter(version[at])))
            ++at;
        std::string_view text = version.substr(start, at - start);
        if (number)
            text.remove_prefix(std::min(text.find_first_not_of('0'), text.size()));
        segments.push_back({number, text});
    }
    return segments;
}

// Digit strings without leading zeros compare by length first, so any length works.
std::strong_ordering compareNumbers(std::string_view left, std::string_view right)
{
    if (left.size() != right.size())
        return left.size() <=> right.size();
    return left.compare(right) <=> 0;
}

std::strong_ordering compareWords(std::string_view left, std::string_view right)
{
    const auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    return std::lexicographical_compare_three_way(
        left.begin(), left.end(), right.begin(), right.end(),
        [&](char a, char b) { return lower(a) <=> lower(b); });
}

// What a feed's XML says about one <item>, before it is judged.
struct ItemFields {
    std::string versionElement;
    std::string shortVersionElement;
    std::string linkElement;
    std::string channelElement;
    std::optional<std::string> enclosureUrl;
    std::string enclosureVersion;
    std::string enclosureShortVersion;
};

enum class ElementKind { Other, Rss, Channel, Item, Link, Version, ShortVersion, ItemChannel };

// Reads the feed with GMarkup, which knows nothing of namespaces: prefixes are resolved here from
// the xmlns attributes in scope, so a feed may bind the Sparkle namespace to any prefix and carry
// elements of other vocabularies (atom:link, dc:date) without their being taken for RSS ones.
class FeedReader {
public:
    std::vector<AppcastItem> items;

    static void startElement(GMarkupParseContext*, const gchar* name, const gchar** attributeNames,
                             const gchar** attributeValues, gpointer self, GError**)
    {
        static_cast<FeedReader*>(self)->start(name, attributeNames, attributeValues);
    }
    static void endElement(GMarkupParseContext*, const gchar*, gpointer self, GError**)
    {
        static_cast<FeedReader*>(self)->end();
    }
    static void text(GMarkupParseContext*, const gchar* text, gsize length, gpointer self, GError**)
    {
        static_cast<FeedReader*>(self)->appendText(std::string_view(text, length));
    }

private:
    struct QualifiedName {
        bool isPrefixed;
        std::string ns;
        std::string_view local;
    };

    QualifiedName resolve(std::string_view name) const
    {
        const auto colon = name.find(':');
        if (colon == std::string_view::npos)
            return {false, {}, name};
        const std::string prefix(name.substr(0, colon));
        for (auto scope = m_namespaces.rbegin(); scope != m_namespaces.rend(); ++scope) {
            if (auto found = scope->find(prefix); found != scope->end())
                return {true, found->second, name.substr(colon + 1)};
        }
        // Hand-written feeds often use the customary prefix without declaring it.
        return {true, prefix == "sparkle" ? std::string(sparkleNamespace) : std::string(), name.substr(colon + 1)};
    }

    static bool isRss(const QualifiedName& name, std::string_view local) { return !name.isPrefixed && name.local == local; }
    static bool isSparkle(const QualifiedName& name, std::string_view local)
    {
        return name.isPrefixed && name.ns == sparkleNamespace && name.local == local;
    }

    ElementKind kindOf(const QualifiedName& name) const
    {
        const ElementKind parent = m_elements.empty() ? ElementKind::Other : m_elements.back();
        if (m_elements.empty())
            return isRss(name, "rss") ? ElementKind::Rss : ElementKind::Other;
        if (parent == ElementKind::Rss && isRss(name, "channel"))
            return ElementKind::Channel;
        if (parent == ElementKind::Channel && isRss(name, "item"))
            return ElementKind::Item;
        if (parent != ElementKind::Item)
            return ElementKind::Other;
        if (isRss(name, "link"))
            return ElementKind::Link;
        if (isSparkle(name, "version"))
            return ElementKind::Version;
        if (isSparkle(name, "shortVersionString"))
            return ElementKind::ShortVersion;
        if (isSparkle(name, "channel"))
            return ElementKind::ItemChannel;
        return ElementKind::Other;
    }

    void start(std::string_view name, const gchar** attributeNames, const gchar** attributeValues)
    {
        std::map<std::string, std::string> scope;
        for (std::size_t i = 0; attributeNames[i]; ++i) {
            const std::string_view attribute = attributeNames[i];
            if (attribute.starts_with("xmlns:"))
                scope[std::string(attribute.substr(6))] = attributeValues[i];
        }
        m_namespaces.push_back(std::move(scope));

        const QualifiedName qualified = resolve(name);
        const ElementKind kind = kindOf(qualified);
        if (kind == ElementKind::Item)
            m_item = ItemFields();
        if (!m_elements.empty() && m_elements.back() == ElementKind::Item && isRss(qualified, "enclosure")
            && !m_item.enclosureUrl)
            readEnclosure(attributeNames, attributeValues);
        m_elements.push_back(kind);
    }

    void readEnclosure(const gchar** attributeNames, const gchar** attributeValues)
    {
        for (std::size_t i = 0; attributeNames[i]; ++i) {
            const QualifiedName attribute = resolve(attributeNames[i]);
            if (isRss(attribute, "url"))
                m_item.enclosureUrl = trimmed(attributeValues[i]);
            else if (isSparkle(attribute, "version"))
                m_item.enclosureVersion = trimmed(attributeValues[i]);
            else if (isSparkle(attribute, "shortVersionString"))
                m_item.enclosureShortVersion = trimmed(attributeValues[i]);
        }
    }

    void appendText(std::string_view text)
    {
        if (m_elements.empty())
            return;
        switch (m_elements.back()) {
        case ElementKind::Link: m_item.linkElement += text; break;
        case ElementKind::Version: m_item.versionElement += text; break;
        case ElementKind::ShortVersion: m_item.shortVersionElement += text; break;
        case ElementKind::ItemChannel: m_item.channelElement += text; break;
        default: break;
        }
    }

    void end()
    {
        if (m_elements.back() == ElementKind::Item)
            finishItem();
        m_elements.pop_back();
        m_namespaces.pop_back();
    }

    void finishItem()
    {
        // Only the default channel is offered; named channels are for those who opted in.
        if (!trimmed(m_item.channelElement).empty())
            return;
        // The item's own elements are the newer form and win over the enclosure's attributes.
        std::string version(trimmed(m_item.versionElement));
        if (version.empty())
            version = m_item.enclosureVersion;
        std::string shortVersion(trimmed(m_item.shortVersionElement));
        if (shortVersion.empty())
            shortVersion = m_item.enclosureShortVersion;
        if (version.empty())
            version = shortVersion;
        if (version.empty())
            return;
        AppcastItem item;
        item.displayVersion = shortVersion.empty() ? version : shortVersion;
        item.version = std::move(version);
        item.link = m_item.enclosureUrl && !m_item.enclosureUrl->empty() ? *m_item.enclosureUrl
                                                                          : std::string(trimmed(m_item.linkElement));
        items.push_back(std::move(item));
    }

    std::vector<ElementKind> m_elements;
    std::vector<std::map<std::string, std::string>> m_namespaces;
    ItemFields m_item;
};

bool hasScheme(GUri* uri, std::initializer_list<const char*> schemes)
{
    const char* host = g_uri_get_host(uri);
    if (!host || !*host)
        return false;
    const char* scheme = g_uri_get_scheme(uri);
    return std::any_of(schemes.begin(), schemes.end(),
                       [&](const char* allowed) { return g_ascii_strcasecmp(scheme, allowed) == 0; });
}

GUniquePtr<GUri> parseAddress(std::string_view address)
{
    return GUniquePtr<GUri>(g_uri_parse(std::string(address).c_str(), G_URI_FLAGS_NONE, nullptr));
}

bool isLoopbackHost(const char* host)
{
    if (g_ascii_strcasecmp(host, "localhost") == 0)
        return true;
    auto address = GRefPtr<GInetAddress>::adopt(g_inet_address_new_from_string(host));
    return address && g_inet_address_get_is_loopback(address.get());
}

} // namespace

std::strong_ordering compareVersions(std::string_view left, std::string_view right)
{
    const auto leftSegments = versionSegments(left);
    const auto rightSegments = versionSegments(right);
    const std::size_t count = std::max(leftSegments.size(), rightSegments.size());
    for (std::size_t i = 0; i < count; ++i) {
        const VersionSegment* a = i < leftSegments.size() ? &leftSegments[i] : nullptr;
        const VersionSegment* b = i < rightSegments.size() ? &rightSegments[i] : nullptr;
        // A missing segment is a zero; a word where the other side has a number or nothing is a
        // pre-release, which comes before.
        const VersionSegment zero{true, {}};
        if (!a)
            a = &zero;
        if (!b)
            b = &zero;
        std::strong_ordering order = std::strong_ordering::equal;
        if (a->isNumber && b->isNumber)
            order = compareNumbers(a->text, b->text);
        else if (!a->isNumber && !b->isNumber)
            order = compareWords(a->text, b->text);
        else
            order = a->isNumber ? std::strong_ordering::greater : std::strong_ordering::less;
        if (order != 0)
            return order;
    }
    return std::strong_ordering::equal;
}

Result<std::vector<AppcastItem>> parseAppcast(std::string_view xml)
{
    constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
    if (xml.starts_with(byteOrderMark))
        xml.remove_prefix(byteOrderMark.size());

    // GMarkup checks CDATA sections for UTF-8 but then parses on: it reports success with its
    // error set, and a second bad section sets a GError over the first. So the whole text is
    // checked here, and nothing invalid ever reaches it.
    const char* invalid = nullptr;
    if (!g_utf8_validate_len(xml.data(), xml.size(), &invalid))
        return Failure { "not valid UTF-8 at byte " + std::to_string(invalid - xml.data()) };

    // The callbacks never set an error, so GMarkup's own is the only one.
    static const GMarkupParser parser = {FeedReader::startElement, FeedReader::endElement, FeedReader::text, nullptr,
                                         nullptr};
    FeedReader reader;
    GUniquePtr<GMarkupParseContext> context(
        g_markup_parse_context_new(&parser, G_MARKUP_TREAT_CDATA_AS_TEXT, &reader, nullptr));
    GUniqueOutPtr<GError> parseError;
    const bool isParsed =
        g_markup_parse_context_parse(context.get(), xml.data(), static_cast<gssize>(xml.size()), &parseError.outPtr())
        && !parseError.get() && g_markup_parse_context_end_parse(context.get(), &parseError.outPtr());
    if (!isParsed)
        return Failure::from(parseError.get());
    return std::move(reader.items);
}

const AppcastItem* newestItem(const std::vector<AppcastItem>& items)
{
    const AppcastItem* newest = nullptr;
    for (const auto& item : items) {
        if (!newest || compareVersions(item.version, newest->version) > 0)
            newest = &item;
    }
    return newest;
}

bool isAllowedFeedAddress(std::string_view address)
{
    auto uri = parseAddress(address);
    if (!uri)
        return false;
    if (hasScheme(uri.get(), {"https"}))
        return true;
    return hasScheme(uri.get(), {"http"}) && isLoopbackHost(g_uri_get_host(uri.get()));
}

bool isOpenableLink(std::string_view link)
{
    auto uri = parseAddress(link);
    return uri && hasScheme(uri.get(), {"http", "https"});
}

std::chrono::milliseconds backgroundCheckDelay(std::optional<std::int64_t> lastCheckSeconds,
                                               std::chrono::milliseconds now, std::chrono::milliseconds startedAt,
                                               std::chrono::milliseconds firstCheckDelay,
                                               std::chrono::milliseconds checkInterval)
{
    using std::chrono::milliseconds;
    milliseconds delay = std::max(startedAt + firstCheckDelay - now, milliseconds(0));
    if (lastCheckSeconds) {
        const auto nowSeconds = std::chrono::duration_cast<std::chrono::seconds>(now).count();
        const milliseconds lastCheck = std::chrono::seconds(std::clamp<std::int64_t>(*lastCheckSeconds, 0, nowSeconds));
        delay = std::max(delay, lastCheck + checkInterval - now);
    }
    return delay;
}
