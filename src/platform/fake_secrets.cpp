#include "platform/fake_secrets.h"

namespace ostrel {

namespace {
TSecretResult Result() {
    TSecretResult result;
    result.Place = TSecretPlace::Keyring;
    result.Where = "the test keyring";
    return result;
}
} // namespace

TSecretResult FakeSecrets::Lookup(const std::string& account) {
    Calls.push_back("Lookup:" + account);
    TSecretResult result = Result();
    result.Error = FailWith;
    if (!FailWith.empty())
        return result;
    if (auto it = Kept.find(account); it != Kept.end()) {
        result.Ok = true;
        result.Value = it->second;
    }
    return result;
}

TSecretResult FakeSecrets::Store(const std::string& account, const std::string& password) {
    Calls.push_back("Store:" + account);
    TSecretResult result = Result();
    result.Error = FailWith;
    if (!FailWith.empty())
        return result;
    Kept[account] = password;
    result.Ok = true;
    return result;
}

} // namespace ostrel
