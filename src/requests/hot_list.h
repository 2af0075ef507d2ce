#pragma once

#include <string>

#include "platform/desktop.h"
#include "requests/request_context.h"

namespace ostrel {

class TRequestDispatcher;
class TButton;

// Description and request of a hot-list entry ("description -> request"; an entry without the
// arrow is both).
std::string HotListDescription(const std::string& entry);
std::string HotListRequest(const std::string& entry);

// The Hot List page: search the descriptions, request the selected entry.
class THotList {
public:
    THotList(Desktop& desktop, TListBox& lstHot, TEdit& txtLookFor, TRequestDispatcher& dispatcher,
             std::function<void()> controlRefresh);

    void txtLookForChange();
    void btnSearchClick();
    // F3 in the list or on the button searches again.
    void lstHotKeyDown(int key);
    void btnSearchKeyDown(int key);
    void lstHotClick();
    void btnRequestClick();

    int SearchPosition() const { return searchPosition_; }

private:
    void Search();
    Desktop& desktop_;
    TListBox& lstHot_;
    TEdit& txtLookFor_;
    TRequestDispatcher& dispatcher_;
    std::function<void()> controlRefresh_;
    int searchPosition_ = 0;
};

} // namespace ostrel
