#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/secret_service.h"

namespace ostrel {

// Where a password was found, or where it was kept.
enum class TSecretPlace { None, Environment, Keyring, File };

struct TSecretResult {
    // Lookup: a password was found. Store: the password was kept.
    bool Ok = false;
    // The password found (lookups only).
    std::string Value;
    TSecretPlace Place = TSecretPlace::None;
    // Where, in words for the user: the variable's name, "the desktop's keyring" or the file.
    std::string Where;
    // What went wrong and how to put it right; empty when nothing did. A lookup may fail with
    // an error (a password file others can read) while another place had nothing either.
    std::string Error;
};

// The passwords of the accounts the program logs in to ("smtp", "mailbox"). They are never
// written to the settings file; each account has a place of its own in every store.
class Secrets {
public:
    virtual ~Secrets() = default;
    virtual TSecretResult Lookup(const std::string& account) = 0;
    virtual TSecretResult Store(const std::string& account, const std::string& password) = 0;
};

// OSTREL_SMTP_PASSWORD for "smtp", OSTREL_MAILBOX_PASSWORD for "mailbox".
std::string SecretVariableName(const std::string& account);
// "<account>.password" in the settings folder.
std::string SecretFileName(const std::string& settingsFolder, const std::string& account);

// The password file beside the settings: created with mode 0600 and replaced whole; one that
// others can read, or that belongs to someone else, is refused with a message that says how to
// fix it.
TSecretResult ReadSecretFile(const std::string& path);
TSecretResult WriteSecretFile(const std::string& path, const std::string& password);

// The program's secrets: the environment first (for scripts), then the desktop's keyring, then
// the password file. A password is kept in the keyring where one runs, else in the file.
class SystemSecrets : public Secrets {
public:
    SystemSecrets(std::string settingsFolder, std::function<void()> pump);
    TSecretResult Lookup(const std::string& account) override;
    TSecretResult Store(const std::string& account, const std::string& password) override;

private:
    std::string folder_;
    SecretServiceStore keyring_;
};

} // namespace ostrel
