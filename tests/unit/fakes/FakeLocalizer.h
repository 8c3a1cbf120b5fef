#pragma once

#include "ports/Localizer.h"

/// Shows which key was looked up: "[launch_at_login]".
class FakeLocalizer final : public Localizer {
public:
    std::string localizedString(std::string_view key) override
    {
        ++lookups;
        return "[" + std::string(key) + "]";
    }
    int lookups = 0;
};
