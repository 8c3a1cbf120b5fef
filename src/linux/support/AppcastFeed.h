#pragma once

// The pure half of the update checks: reading an appcast (RSS 2.0 with the Sparkle namespace),
// ordering version strings, and when the next background check falls due.

#include "linux/support/Failure.h"

#include <chrono>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// One release announced by the feed.
struct AppcastItem {
    std::string version; ///< What is compared with the running version.
    std::string displayVersion; ///< What the user is shown: the short version string when given.
    std::string link; ///< The enclosure's address, else the item's link; empty when neither is given.

    friend bool operator==(const AppcastItem&, const AppcastItem&) = default;
};

/// Orders two version strings segment by segment: numbers numerically (1.10 after 1.9), missing
/// trailing numbers as zero (2.0 equals 2.0.0), and a word where the other has a number or ends
/// as a pre-release before the release (1.0b2 and 1.0-rc.1 before 1.0). Words compare without
/// regard to case; anything after '+' is build metadata and ignored; a leading 'v' is dropped.
std::strong_ordering compareVersions(std::string_view left, std::string_view right);

/// The releases of an appcast in document order. Items of a named channel (beta testers') and items
/// with no version at all are left out. A failure, with a short reason, when the text is not
/// well-formed XML.
Result<std::vector<AppcastItem>> parseAppcast(std::string_view xml);

/// The item with the highest version; the first of equals. Null for an empty list.
const AppcastItem* newestItem(const std::vector<AppcastItem>& items);

/// Whether the feed may be fetched from this address: https anywhere, plain http only from a
/// loopback host.
bool isAllowedFeedAddress(std::string_view address);

/// Whether a release link may be handed to the desktop's default handler: http or https only.
bool isOpenableLink(std::string_view link);

/// When the next background check is due, as a wait from now. A check is due an interval after
/// the last one, but never before the first-check delay after start has passed, and never later
/// than one interval from now (a last check in the future means a clock that was set back).
std::chrono::milliseconds backgroundCheckDelay(std::optional<std::int64_t> lastCheckSeconds,
                                               std::chrono::milliseconds now, std::chrono::milliseconds startedAt,
                                               std::chrono::milliseconds firstCheckDelay,
                                               std::chrono::milliseconds checkInterval);
