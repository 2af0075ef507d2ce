#include "shell/task_icon.h"

namespace ostrel {

TTaskIcon::TTaskIcon(Desktop& desktop) : desktop_(desktop) {}

TTaskIcon::~TTaskIcon() {
    if (active_)
        desktop_.TrayDelete(id_);
}

TTrayIconData TTaskIcon::Data() const {
    return TTrayIconData{id_, icon_, tip_};
}

void TTaskIcon::SetActive(bool active) {
    wanted_ = active;
    if (active == active_)
        return;
    if (active)
        active_ = desktop_.TrayAdd(Data());
    else if (desktop_.TrayDelete(id_))
        active_ = false;
}

bool TTaskIcon::Retry() {
    if (wanted_ && !active_ && desktop_.TrayAvailable())
        active_ = desktop_.TrayAdd(Data());
    return active_;
}

void TTaskIcon::SetIcon(const std::string& icon) {
    if (icon == icon_)
        return;
    icon_ = icon;
    if (active_)
        desktop_.TrayModify(Data());
}

void TTaskIcon::SetToolTip(const std::string& tip) {
    std::string cut = tip.substr(0, MaxTip);
    if (cut == tip_)
        return;
    tip_ = cut;
    if (active_)
        desktop_.TrayModify(Data());
}

void TTaskIcon::SetTaskIconID(int id) {
    if (id == id_)
        return;
    if (active_) {
        // The notification area knows the icon by its identifier: move it over.
        desktop_.TrayDelete(id_);
        id_ = id;
        active_ = desktop_.TrayAdd(Data());
    } else {
        id_ = id;
    }
}

void TTaskIcon::Callback(int id, TTrayEvent event) {
    if (id != id_)
        return;
    switch (event) {
    case TTrayEvent::LButtonUp:
        if (OnClick)
            OnClick();
        break;
    case TTrayEvent::LButtonDblClk:
        if (OnDblClick)
            OnDblClick();
        break;
    case TTrayEvent::RButtonUp:
        if (OnRightClick) {
            TPoint p = desktop_.CursorPos();
            OnRightClick(p.X, p.Y);
        }
        break;
    case TTrayEvent::Other:
        break;
    }
}

} // namespace ostrel
