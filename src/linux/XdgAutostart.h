#pragma once

#include "linux/support/RegularFile.h"
#include "ports/LoginItems.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

/// Starting at login through an XDG autostart entry, org.zelna.ZelnaMenu.desktop in the user's
/// autostart folder, which overrides a same-named entry of the system's autostart folders. The
/// environment (XDG_CONFIG_HOME, XDG_CONFIG_DIRS) and the executable's path are read at each call.
class XdgAutostart final : public LoginItems {
public:
    /// For the running program, found through /proc/self/exe.
    XdgAutostart();
    /// For the program at executable, an absolute path; an empty one counts as unknown.
    explicit XdgAutostart(std::filesystem::path executable);

    std::shared_ptr<SMAppService> mainAppService() override;

private:
    /// None for the running program, looked up at each call.
    std::optional<std::filesystem::path> m_executable;
    /// The refused entries already reported, shared by every service handed out.
    std::shared_ptr<std::map<std::filesystem::path, FileIdentity>> m_reportedRefusals;
};

/// One argument of a desktop entry's Exec line, quoted and escaped by the Desktop Entry rules
/// (before the key file's own string escaping, which is applied to the whole value on top).
std::string desktopExecArgument(std::string_view argument);
