#include "cli/cmd_queue.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "cli/list_session.h"
#include "cli/printable.h"
#include "requests/request_context.h"
#include "shell/lists.h"
#include "util/text.h"

namespace ostrel {

namespace {

int ChangeQueue(const std::string& action, const TCliContext& c) {
    TListsLock lock;
    if (!LockLists(lock, "queue", "Send or empty the queue on its \"Queued Requests\" page", c.Err))
        return 1;
    TListSession session(c.ExePath, c.In, c.Err, c.Yes);
    if (!session.Load("queue", c.Err))
        return 1;
    auto& form = session.App().Form();
    if (action == "clear") {
        const int count = form.lstQueue.Count();
        session.App().Dispatcher().DeleteAll1Click();
        c.Out << "queue cleared: " << RequestCount(count) << " removed\n";
        return 0;
    }
    const std::vector<std::string> before = form.lstQueue.Items();
    try {
        session.App().Dispatcher().btnSendClick();
    } catch (const std::exception& e) {
        c.Err << "ostrel-cli queue: " << Printable(e.what(), TLineBreaks::Keep) << "\n";
    }
    const std::vector<std::string> sent = session.TakeSent();
    PrintSentFromQueue(sent, 0, c.Out);
    // A queued text that composes no request leaves the queue without a mail.
    for (const auto& entry : before) {
        if (ListHolds(form.lstQueue.Items(), entry))
            continue;
        bool wasSent = false;
        for (const auto& s : sent)
            wasSent = wasSent || EqualsNoCase(HistoryRequest(s), HistoryForm(entry));
        if (!wasSent)
            c.Out << "dropped from the queue: " << Printable(entry)
                  << " (no request mail can be made from it; removed without sending)\n";
    }
    if (form.lstQueue.Count() > 0) {
        const std::string reason = session.FailureReason();
        c.Out << "failed: " << Printable(form.lstQueue.Item(0)) << " ("
              << (reason.empty() ? "not sent" : Printable(reason)) << "); " << RequestCount(form.lstQueue.Count())
              << " still queued\n";
        return 1;
    }
    return 0;
}

} // namespace

TCliRun DeclareQueueCommand(CLI::App& command) {
    auto action = std::make_shared<std::string>("list");
    command.add_option("ACTION", *action, "list the waiting requests (the default), send them, or clear the queue")
        ->type_name("")
        ->check(CLI::IsMember({"list", "send", "clear"}));
    return [action](const TCliContext& c) {
        return *action == "list" ? PrintListFile("queue", "Queue.Dat", c) : ChangeQueue(*action, c);
    };
}

} // namespace ostrel
