#include "cli/cmd_fetch.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "cli/console_desktop.h"
#include "cli/list_session.h"
#include "cli/printable.h"
#include "net/certificate.h"
#include "shell/ostrel_app.h"
#include "util/program_state.h"

namespace ostrel {

TCliRun DeclareFetchCommand(CLI::App&) {
    return [](const TCliContext& c) {
        // The desktop program fetches into the same records and lists: one at a time, as there.
        TListsLock lock;
        if (lock.Acquire() == TListsLock::TResult::DesktopRunning) {
            c.Err << "ostrel-cli fetch: the desktop program Ostrel is running and fetches the replies itself.\n"
                     "Use \"Fetch now\" on its Mailbox page, or quit it with \"Unload\" and run this command again.\n";
            return 1;
        }
        ConsoleDesktop desktop(c.In, c.Err, false);
        TOstrelApp app(desktop, c.ExePath, {});
        try {
            app.LoadForCommandLine();
        } catch (const std::exception& e) {
            c.Err << "ostrel-cli fetch: " << Printable(e.what(), TLineBreaks::Keep) << "\n";
            return 1;
        }
        TReplyFetch& fetch = app.ReplyFetch();
        if (!fetch.Enabled()) {
            c.Err << "ostrel-cli fetch: no mailbox is set up: choose IMAP or POP3 on the Mailbox page of the desktop "
                     "program, or set Protocol=, Server= and User= in [Mailbox] of "
                  << Printable(SettingsFileName()) << "\n";
            return 1;
        }
        try {
            const TPickupResult result = fetch.FetchOnce([&](const TArrival& a) {
                c.Out << "saved: " << Printable(a.Path) << "\n" << std::flush;
            });
            for (const auto& problem : result.Problems)
                c.Err << "ostrel-cli fetch: " << Printable(problem) << "\n";
            return result.Problems.empty() ? 0 : 1;
        } catch (const ECertificateError& e) {
            c.Err << "ostrel-cli fetch: " << Printable(e.what()) << "\n"
                  << "To trust this one certificate, answer the question in the desktop program's Fetch, or add\n"
                  << "TrustedCert=" << e.Fingerprint() << "\nto [Mailbox] in " << Printable(SettingsFileName()) << "\n";
        } catch (const std::exception& e) {
            c.Err << "ostrel-cli fetch: " << Printable(e.what()) << "\n";
        }
        return 1;
    };
}

} // namespace ostrel
