#pragma once

#include <functional>
#include <string>

namespace ostrel {

struct TSecretResult;

// The desktop's Secret Service (a keyring) through libsecret. Every wait lets pump run, in
// short slices, so a keyring that asks the user to unlock it does not freeze the windows.
class SecretServiceStore {
public:
    // settingsFolder tells two sets of settings (two users of one keyring, tests) apart.
    SecretServiceStore(std::string settingsFolder, std::function<void()> pump);
    // Ok with the value; not Ok and no Error when nothing is kept; Error when the service
    // could not be asked (none runs, it refused).
    TSecretResult Lookup(const std::string& account);
    TSecretResult Store(const std::string& account, const std::string& password);

private:
    std::string folder_;
    std::function<void()> pump_;
};

} // namespace ostrel
