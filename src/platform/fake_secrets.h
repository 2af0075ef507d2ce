#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/secrets.h"

namespace ostrel {

// Secrets for tests: an in-memory keyring whose answers a test can spoil, recording every call.
class FakeSecrets : public Secrets {
public:
    // What is kept, by account.
    std::map<std::string, std::string> Kept;
    // Set to make every call fail with this text, as a keyring that refuses would.
    std::string FailWith;
    // Every call, as "Lookup:account" or "Store:account".
    std::vector<std::string> Calls;

    TSecretResult Lookup(const std::string& account) override;
    TSecretResult Store(const std::string& account, const std::string& password) override;
};

} // namespace ostrel
