#pragma once

#include <functional>
#include <string>

#include "platform/desktop.h"

namespace ostrel {

// The icon in the notification area. Active tells the truth: it is true only while the icon is
// really shown. An icon that could not be added (no notification area yet, as at the start of
// a desktop session) is added later by Retry, which the owner calls when the notification area
// appears and at every timer tick.
class TTaskIcon {
public:
    static constexpr size_t MaxTip = 63;

    explicit TTaskIcon(Desktop& desktop);
    ~TTaskIcon();
    TTaskIcon(const TTaskIcon&) = delete;
    TTaskIcon& operator=(const TTaskIcon&) = delete;

    bool Active() const { return active_; }
    void SetActive(bool active);
    const std::string& Icon() const { return icon_; }
    void SetIcon(const std::string& icon);
    const std::string& ToolTip() const { return tip_; }
    void SetToolTip(const std::string& tip);
    int TaskIconID() const { return id_; }
    void SetTaskIconID(int id);

    std::function<void()> OnClick;
    std::function<void()> OnDblClick;
    std::function<void(int x, int y)> OnRightClick;

    // The notification area's callback for any icon.
    void Callback(int id, TTrayEvent event);
    // Adds the icon when it is wanted but not shown; true when it is shown afterwards.
    bool Retry();

private:
    TTrayIconData Data() const;
    Desktop& desktop_;
    bool active_ = false;
    bool wanted_ = false;
    std::string icon_;
    std::string tip_;
    int id_ = 0;
};

} // namespace ostrel
