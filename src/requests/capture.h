#pragma once

#include <string>

#include "platform/desktop.h"
#include "requests/request_context.h"

namespace ostrel {

class TRequestDispatcher;

// A URL scheme the program requests: http, https, ftp, news or gopher, without regard to
// case, and one line only (no carriage return or line feed anywhere).
bool IsSupportedUrl(const std::string& text);
// Reduces a redirecting web link to the target it carries and drops a fragment; other texts
// are returned unchanged.
std::string NormalizeUrl(const std::string& text);
// Whether the text is a direct request (carries its own recipient, subject and body): it holds
// DirectRequestMarker, in lower case.
bool IsDirectText(const std::string& text);

// Decides what becomes of a candidate text: refused, dropped as a duplicate, asked about,
// sent at once or queued, following the settings on the General and Queued Requests pages.
class TRequestCapture {
public:
    TRequestCapture(Desktop& desktop, TRequestControls controls, TRequestHooks hooks, TRequestDispatcher& dispatcher);

    void CaptureRequest(const std::string& text);
    void btnGoClick();
    // Duplicate in the list: the queue compares whole entries, the history its requests.
    bool IsDuplicate(const std::string& text, const TListBox& list);
    bool ConfirmRequest(const std::string& text, const std::string& verb);
    void QueueRequest(const std::string& text);
    void RemoveFromQueue(const std::string& text);

private:
    void Capture(std::string text);
    Desktop& desktop_;
    TRequestControls c_;
    TRequestHooks hooks_;
    TRequestDispatcher& dispatcher_;
};

} // namespace ostrel
