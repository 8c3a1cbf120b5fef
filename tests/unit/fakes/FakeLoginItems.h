#pragma once

#include "ports/LoginItems.h"

#include <vector>

class FakeLoginItems final : public LoginItems, public SMAppService {
public:
    std::shared_ptr<SMAppService> mainAppService() override
    {
        ++serviceFetches;
        return std::shared_ptr<SMAppService>(std::shared_ptr<void>(), this);
    }
    SMAppServiceStatus status() override { return currentStatus; }
    bool registerAndReturnError(std::string* error) override { return answer("register", SMAppServiceStatus::enabled, error); }
    bool unregisterAndReturnError(std::string* error) override { return answer("unregister", SMAppServiceStatus::notRegistered, error); }

    SMAppServiceStatus currentStatus = SMAppServiceStatus::notRegistered;
    bool failsCalls = false;
    std::vector<std::string> calls;
    int serviceFetches = 0;

private:
    bool answer(const char* call, SMAppServiceStatus statusOnSuccess, std::string* error)
    {
        calls.emplace_back(call);
        if (failsCalls) {
            if (error)
                *error = "refused";
            return false;
        }
        currentStatus = statusOnSuccess;
        return true;
    }
};
