#pragma once

#include <string>

/// An absolute address, as the toolkit's URL value. The core only forms stream addresses from
/// constants, so no parsing lives here: the adapters reject what their transport cannot open.
struct URL {
    std::string absoluteString;

    friend bool operator==(const URL&, const URL&) = default;
};
