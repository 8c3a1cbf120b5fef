#pragma once

#include <memory>
#include <string>

// Starting the application at login. Used on the main thread only.

enum class SMAppServiceStatus : int { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

/// The login-item registration of one application.
class SMAppService {
public:
    virtual ~SMAppService() = default;
    /// Read from the platform at each call; nothing is cached.
    virtual SMAppServiceStatus status() = 0;
    /// True on success; false with a one-sentence reason in *error (when error is not null).
    virtual bool registerAndReturnError(std::string* error) = 0;
    virtual bool unregisterAndReturnError(std::string* error) = 0;
};

class LoginItems {
public:
    virtual ~LoginItems() = default;
    /// The service for the running application itself.
    virtual std::shared_ptr<SMAppService> mainAppService() = 0;
};
