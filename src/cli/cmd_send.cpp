#include "cli/cmd_send.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "cli/list_session.h"
#include "cli/printable.h"
#include "requests/capture.h"
#include "requests/request_context.h"
#include "shell/lists.h"
#include "util/text.h"

namespace ostrel {

namespace {

const char* const kRefusedText = "The URL you entered is either invalid or not supported";

bool InHistory(const TListBox& history, const std::string& request) {
    for (const auto& entry : history.Items())
        if (EqualsNoCase(HistoryRequest(entry), HistoryForm(request)))
            return true;
    return false;
}

// What became of one text; true when it was sent.
bool SendOne(TListSession& session, const std::string& text, std::ostream& out) {
    auto& app = session.App();
    auto& form = app.Form();
    auto& desk = session.Desk();
    desk.Shown.clear();
    session.ClearError();
    const std::vector<std::string> queueBefore = form.lstQueue.Items();
    const bool fastWindowOpen = app.Desk().Now() - app.Dispatcher().LastHistoryTime() < std::chrono::seconds(3);
    const std::string topBefore = form.lstHistory.Count() > 0 ? form.lstHistory.Item(0) : std::string();

    form.txtURL.SetText(text);
    try {
        app.Capture().btnGoClick();
    } catch (const std::exception& e) {
        session.TakeSent();
        out << "failed: " << Printable(text) << " (" << Printable(e.what()) << ")\n";
        return false;
    }
    const std::vector<std::string> sent = session.TakeSent();
    if (desk.Saw(TShown::TKind::Message, kRefusedText)) {
        out << "refused: " << Printable(text) << " (" << kRefusedText << ")\n";
        return false;
    }
    // The request as capture sent it: the typed text after the www./ftp. completion, with the
    // slash rule and the normalisation that capture applies.
    std::string request = form.txtURL.Text();
    if (!IsDirectText(request) && InstancesOfCharacters("/", request) < 3)
        request += "/";
    request = NormalizeUrl(request);
    const std::string shown = Printable(request);

    for (size_t i = 0; i < sent.size(); ++i) {
        if (!EqualsNoCase(HistoryRequest(sent[i]), HistoryForm(request)))
            continue;
        out << "sent: " << shown << " via " << Printable(HistoryServer(sent[i])) << "\n";
        PrintSentFromQueue(sent, i + 1, out);
        if (const std::string reason = session.FailureReason(); !reason.empty() && form.lstQueue.Count() > 0)
            out << "failed from the queue: " << Printable(form.lstQueue.Item(0)) << " (" << Printable(reason)
                << "); still queued\n";
        return true;
    }
    const bool queuedNow = !ListHolds(queueBefore, request) && ListHolds(form.lstQueue.Items(), request);
    if (const std::string reason = session.FailureReason(); !reason.empty()) {
        out << "failed: " << shown << " (" << Printable(reason) << ")" << (queuedNow ? "; queued" : "; not queued")
            << "\n";
        return false;
    }
    for (const auto& s : desk.Shown)
        if (s.Kind == TShown::TKind::Message && s.Answer == IDNO && s.Text.ends_with(" by e-mail?")) {
            out << "declined: " << shown << " (not confirmed)\n";
            return false;
        }
    const bool duplicate = desk.Saw(TShown::TKind::Note, "Duplicate Request");
    if (form.optEnabled.ItemIndex() != 0) {
        if (queuedNow)
            out << "queued: " << shown
                << " (Enabled is set to No, so requests wait in the queue; send them with 'ostrel-cli queue "
                   "send')\n";
        else if (duplicate)
            out << "duplicate: " << shown << " (already waiting in the queue; not queued twice)\n";
        else
            out << "dropped: " << shown
                << " (Enabled is set to No and requests are not queued meanwhile; nothing sent)\n";
        return false;
    }
    // A duplicate stops a request only while "Don't repeat requests" is ticked; otherwise
    // the request went on and something later held it back.
    if (duplicate && form.chkCheckHistory.Checked()) {
        out << "duplicate: " << shown
            << (InHistory(form.lstHistory, request) ? " (requested before: it is in the history"
                                                    : " (already waiting in the queue")
            << "; nothing sent because \"Don't repeat requests\" is ticked)\n";
        return false;
    }
    if (fastWindowOpen && FirstWord(topBefore) == HistoryForm(request))
        out << "dropped: " << shown
            << " (the same request went out less than 3 seconds ago; a repeat that quick is taken for a double "
               "copy, nothing sent)\n";
    else
        out << "dropped: " << shown << " (no request mail can be made from it; nothing sent)\n";
    // The queue goes out after a request that was let through without a mail, as after a sent one.
    PrintSentFromQueue(sent, 0, out);
    return false;
}

} // namespace

TCliRun DeclareSendCommand(CLI::App& command) {
    auto texts = std::make_shared<std::vector<std::string>>();
    command.add_option("TEXT", *texts, "a URL, or what would be typed on the General page")->type_name("")->required();
    return [texts](const TCliContext& c) {
        TListsLock lock;
        if (!LockLists(lock, "send", "Make the request in its window (copy the URL, or type it on the General page)",
                       c.Err))
            return 1;
        // The session writes the lists as it goes and once more when it ends: inside the lock.
        TListSession session(c.ExePath, c.In, c.Err, c.Yes);
        if (!session.Load("send", c.Err))
            return 1;
        int status = 0;
        for (const auto& text : *texts)
            if (!SendOne(session, text, c.Out))
                status = 1;
        return status;
    };
}

} // namespace ostrel
