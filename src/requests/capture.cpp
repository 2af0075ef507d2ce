#include "requests/capture.h"

#include "requests/dispatch.h"
#include "servers/composition.h"
#include "util/debug_log.h"
#include "util/program_state.h"
#include "util/text.h"

namespace ostrel {

namespace {
const char* const kSchemes[] = {"http://", "https://", "ftp://", "news:", "gopher://"};
} // namespace

bool IsSupportedUrl(const std::string& text) {
    // Text copied here ends its lines with a bare line feed as often as with CR LF; either way
    // it is more than one line, and no URL.
    if (text.find_first_of("\r\n") != std::string::npos)
        return false;
    for (const char* scheme : kSchemes)
        if (StartsWithNoCase(text, scheme))
            return true;
    return false;
}

// Matched as written, in lower case, as composition matches it: a text that capture took for a
// direct request must be composed as one, and the other way round.
bool IsDirectText(const std::string& text) {
    return text.find(DirectRequestMarker) != std::string::npos;
}

std::string NormalizeUrl(const std::string& text) {
    if (IsDirectText(text))
        return text;
    if (!StartsWithNoCase(text, "http://") && !StartsWithNoCase(text, "https://"))
        return text;
    if (int at = PosNoCase("ftp://", text); at > 0)
        return text.substr(static_cast<size_t>(at - 1));
    // A web target carried after the start of the link (in a redirector's query) is the real
    // request, whether it is http or https.
    const std::string upper = UpperCase(text);
    size_t best = std::string::npos;
    for (const char* scheme : {"HTTP://", "HTTPS://"}) {
        auto at = upper.find(scheme, 1);
        if (at != std::string::npos && at < best)
            best = at;
    }
    if (best != std::string::npos)
        return text.substr(best);
    if (auto hash = text.find('#'); hash != std::string::npos)
        return text.substr(0, hash);
    return text;
}

TRequestCapture::TRequestCapture(Desktop& desktop, TRequestControls controls, TRequestHooks hooks,
                                 TRequestDispatcher& dispatcher)
    : desktop_(desktop), c_(controls), hooks_(std::move(hooks)), dispatcher_(dispatcher) {
    dispatcher_.QueueRequest = [this](const std::string& text) { QueueRequest(text); };
}

bool TRequestCapture::IsDuplicate(const std::string& text, const TListBox& list) {
    const bool history = &list == &c_.lstHistory;
    const std::string wanted = history ? HistoryForm(text) : text;
    for (const auto& entry : list.Items()) {
        const std::string candidate = history ? entry.substr(0, entry.find(' ')) : entry;
        if (EqualsNoCase(candidate, wanted)) {
            desktop_.Beep(0);
            if (hooks_.ShowProgressNote)
                hooks_.ShowProgressNote("Duplicate Request");
            return true;
        }
    }
    return false;
}

bool TRequestCapture::ConfirmRequest(const std::string& text, const std::string& verb) {
    const int policy = c_.optConfirm.ItemIndex();
    bool ask = true; // a setting outside the three choices asks: the safe answer
    if (policy == 2)
        ask = false;
    else if (policy == 1) {
        const std::string ext = LowerCase(UrlExtension(text));
        ask = ext == "zip" || ext == "exe";
    }
    if (!ask)
        return true;
    // The main window must not come up with the question: keep it off screen meanwhile.
    TForm& form = c_.MainForm;
    const int top = form.Top();
    form.SetBounds(form.Left(), -5000, form.Width(), form.Height());
    desktop_.SetTopmost(form, false);
    const bool yes = ShowMessageBox(desktop_, verb + text + " by e-mail?", 3, MB_YESNO) == IDYES;
    form.SetBounds(form.Left(), top, form.Width(), form.Height());
    return yes;
}

void TRequestCapture::QueueRequest(const std::string& text) {
    if (c_.chkNever.Checked())
        return;
    const std::string normal = NormalizeUrl(text);
    if (IsDuplicate(normal, c_.lstQueue))
        return;
    c_.lstQueue.AddItem(normal);
    if (hooks_.QueueChanged)
        hooks_.QueueChanged();
    if (hooks_.ShowProgressNote)
        hooks_.ShowProgressNote("Request Queued");
    if (hooks_.ControlRefresh)
        hooks_.ControlRefresh();
}

void TRequestCapture::RemoveFromQueue(const std::string& text) {
    for (int i = 0; i < c_.lstQueue.Count(); ++i)
        if (EqualsNoCase(c_.lstQueue.Item(i), text)) {
            c_.lstQueue.DeleteItem(i);
            if (hooks_.QueueChanged)
                hooks_.QueueChanged();
            return;
        }
}

void TRequestCapture::CaptureRequest(const std::string& text) {
    dispatcher_.Serialize([this, text] { Capture(text); });
}

void TRequestCapture::Capture(std::string text) {
    if (!IsDirectText(text) && InstancesOfCharacters("/", text) < 3)
        text += "/";
    text = NormalizeUrl(text);
    auto& st = ProgramState();
    if (c_.optEnabled.ItemIndex() == 0) {
        bool duplicate = IsDuplicate(text, c_.lstHistory);
        if (!duplicate)
            duplicate = IsDuplicate(text, c_.lstQueue);
        if (duplicate && c_.chkCheckHistory.Checked())
            return;
        if (!ConfirmRequest(text, "Request "))
            return;
        if (dispatcher_.SendRequest(text)) {
            // Shown in don't-send mode is not sent: no test message, and a queued copy stays.
            if (dispatcher_.LastOutcome() != TRequestDispatcher::TOutcome::Shown) {
                if (hooks_.SendTestMessageOnce)
                    hooks_.SendTestMessageOnce();
                RemoveFromQueue(text);
            }
            dispatcher_.SendQueue();
        } else if (!st.QueueRun && c_.chkOnFailure.Checked()) {
            QueueRequest(text);
        }
    } else if (c_.chkNotEnabled.Checked() && !c_.chkNever.Checked()) {
        bool duplicate = IsDuplicate(text, c_.lstHistory);
        if (duplicate)
            duplicate = IsDuplicate(text, c_.lstQueue);
        if (duplicate && c_.chkCheckHistory.Checked())
            return;
        if (ConfirmRequest(text, "Queue request for "))
            QueueRequest(text);
    }
}

void TRequestCapture::btnGoClick() {
    std::string text = Trim(c_.txtURL.Text());
    const std::string head = LowerCase(text.substr(0, 4));
    if (head == "ftp.")
        text = "ftp://" + text;
    else if (head == "www.")
        text = "http://" + text;
    c_.txtURL.SetText(text);
    if (IsSupportedUrl(text))
        CaptureRequest(text);
    else
        ShowMessageBox(desktop_, "The URL you entered is either invalid or not supported", 1, MB_OK);
}

} // namespace ostrel
