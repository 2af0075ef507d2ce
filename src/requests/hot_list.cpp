#include "requests/hot_list.h"

#include "forms/form.h"
#include "requests/dispatch.h"
#include "util/debug_log.h"
#include "util/text.h"

namespace ostrel {

namespace {
const std::string kArrow = " -> ";
}

std::string HotListDescription(const std::string& entry) {
    auto at = entry.find(kArrow);
    return at == std::string::npos ? entry : entry.substr(0, at);
}

std::string HotListRequest(const std::string& entry) {
    auto at = entry.find(kArrow);
    return at == std::string::npos ? entry : entry.substr(at + kArrow.size());
}

THotList::THotList(Desktop& desktop, TListBox& lstHot, TEdit& txtLookFor, TRequestDispatcher& dispatcher,
                   std::function<void()> controlRefresh)
    : desktop_(desktop), lstHot_(lstHot), txtLookFor_(txtLookFor), dispatcher_(dispatcher),
      controlRefresh_(std::move(controlRefresh)) {}

void THotList::txtLookForChange() {
    if (controlRefresh_)
        controlRefresh_();
    searchPosition_ = 0;
}

void THotList::btnSearchClick() {
    Search();
}

void THotList::lstHotKeyDown(int key) {
    if (key == VK_F3)
        Search();
}

void THotList::btnSearchKeyDown(int key) {
    if (key == VK_F3)
        Search();
}

void THotList::lstHotClick() {
    if (controlRefresh_)
        controlRefresh_();
}

void THotList::Search() {
    lstHot_.SetItemIndex(-1);
    const std::string wanted = LowerCase(txtLookFor_.Text());
    bool found = false;
    while (searchPosition_ < lstHot_.Count() && !found) {
        if (LowerCase(HotListDescription(lstHot_.Item(searchPosition_))).find(wanted) != std::string::npos) {
            lstHot_.SetItemIndex(searchPosition_);
            found = true;
        }
        ++searchPosition_;
    }
    if (!found) {
        searchPosition_ = 0;
        ShowMessageBox(desktop_, "No match for search string", 1, MB_OK);
    }
    if (controlRefresh_)
        controlRefresh_();
}

void THotList::btnRequestClick() {
    if (lstHot_.ItemIndex() < 0)
        return;
    const std::string request = HotListRequest(lstHot_.Item(lstHot_.ItemIndex()));
    // Neither confirmed nor queued: a failure has been reported by the send itself.
    dispatcher_.Serialize([this, request] { dispatcher_.SendRequest(request); });
}

} // namespace ostrel
