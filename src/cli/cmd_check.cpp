#include "cli/cmd_check.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include <termios.h>
#include <unistd.h>

#include "cli/console_desktop.h"
#include "cli/printable.h"
#include "net/certificate.h"
#include "shell/ostrel_app.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

namespace {

// The settings of My Details, loaded as the desktop program would; false (with the reason on
// err) when they are incomplete or unreadable.
bool LoadDetails(TOstrelApp& app, const std::string& command, std::ostream& err) {
    try {
        app.LoadForCommandLine();
    } catch (const std::exception& e) {
        err << "ostrel-cli " << command << ": " << Printable(e.what(), TLineBreaks::Keep) << "\n";
        return false;
    }
    if (Trim(app.Form().txtSMTP.Text()).empty()) {
        err << "ostrel-cli " << command << ": no SMTP server is set: fill in My Details in the desktop program, or "
            << "SMTP= in [Servers] of " << Printable(SettingsFileName()) << "\n";
        return false;
    }
    return true;
}

// Reads a password from the terminal with the echo off; false at the end of input.
bool ReadHidden(std::istream& in, std::ostream& prompt, const std::string& question, std::string& password) {
    prompt << question << std::flush;
    termios old{};
    const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &old) == 0;
    if (terminal) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool got = static_cast<bool>(std::getline(in, password));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
        prompt << "\n";
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    return got;
}

} // namespace

TCliRun DeclareCheckCommand(CLI::App&) {
    return [](const TCliContext& c) {
        ConsoleDesktop desktop(c.In, c.Err, false);
        TOstrelApp app(desktop, c.ExePath, {});
        if (!LoadDetails(app, "check", c.Err))
            return 1;
        try {
            app.PrepareTransport();
        } catch (const std::exception& e) {
            c.Out << "Failed: " << Printable(e.what()) << "\n";
            return 1;
        }
        const bool ok = app.SMTP().CheckConnection([&](const std::string& line) { c.Out << Printable(line) << "\n"; });
        if (const ECertificateError* refused = app.SMTP().RefusedCertificate())
            c.Out << "To trust this one certificate, answer the question in the desktop program's Check, or add\n"
                  << "SMTPTrustedCert=" << refused->Fingerprint() << "\nto [Servers] in "
                  << Printable(SettingsFileName()) << "\n";
        return ok ? 0 : 1;
    };
}

TCliRun DeclareLoginCommand(CLI::App& command) {
    auto fromStdin = std::make_shared<bool>(false);
    auto mailbox = std::make_shared<bool>(false);
    command.add_flag("--password-stdin", *fromStdin, "read the password from the first line of standard input");
    command.add_flag("--mailbox", *mailbox, "keep the password of the mailbox (the [Mailbox] settings) instead");
    return [fromStdin, mailbox](const TCliContext& c) {
        ConsoleDesktop desktop(c.In, c.Err, false);
        TOstrelApp app(desktop, c.ExePath, {});
        if (*mailbox) {
            try {
                app.LoadForCommandLine();
            } catch (const std::exception& e) {
                c.Err << "ostrel-cli login: " << Printable(e.what(), TLineBreaks::Keep) << "\n";
                return 1;
            }
        } else if (!LoadDetails(app, "login", c.Err)) {
            return 1;
        }
        const auto& f = app.Form();
        const std::string user = Trim(*mailbox ? f.txtMailUser.Text() : f.txtUser.Text());
        const std::string server = *mailbox ? f.txtMailServer.Text() : f.txtSMTP.Text();
        if (user.empty())
            c.Err << "ostrel-cli login: note: no user name is set ("
                  << (*mailbox ? "User= in [Mailbox]" : "SMTPUser= in [Servers]")
                  << "); the password is kept for when one is\n";
        std::string password;
        bool got = false;
        if (*fromStdin) {
            got = static_cast<bool>(std::getline(c.In, password));
            if (!password.empty() && password.back() == '\r')
                password.pop_back();
        } else if (::isatty(STDIN_FILENO)) {
            got = ReadHidden(c.In, c.Err,
                             "Password for " +
                                 (user.empty() ? std::string(*mailbox ? "the mailbox" : "the SMTP server") : user) +
                                 " at " + server + ": ",
                             password);
        } else {
            c.Err << "ostrel-cli login: standard input is no terminal to ask on: give the password on it with "
                     "--password-stdin\n";
            return 1;
        }
        if (!got || password.empty()) {
            c.Err << "ostrel-cli login: no password given; nothing kept\n";
            return 1;
        }
        const TSecretResult kept = app.PasswordStore().Store(*mailbox ? "mailbox" : "smtp", password);
        std::fill(password.begin(), password.end(), '\0');
        if (!kept.Ok) {
            c.Err << "ostrel-cli login: the password was not kept: " << Printable(kept.Error) << "\n";
            return 1;
        }
        c.Out << "The password is kept in " << Printable(kept.Where) << ".\n";
        return 0;
    };
}

} // namespace ostrel
