#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "forms/controls.h"

namespace ostrel {

// Virtual key codes (the classic numbers: letters and digits are their ASCII capitals).
enum : int { VK_RETURN = 0x0D, VK_ESCAPE = 0x1B, VK_F1 = 0x70, VK_F3 = 0x72 };

using TShiftState = unsigned;
enum : unsigned { ssShift = 1u << 0, ssAlt = 1u << 1, ssCtrl = 1u << 2 };

enum class TWindowState { wsNormal, wsMinimized };

// A window: a control tree plus the window's own state. Subclasses create their controls in
// their constructors with Make<>(), in tab order.
class TForm : public TControl {
public:
    explicit TForm(std::string name);
    ~TForm() override;

    // Class name used in error reports ("TfrmProps").
    virtual std::string ClassName() const { return Name(); }

    bool Showing() const { return Visible(); }
    void Show();
    void Hide();
    int ClientWidth() const { return Width(); }
    int ClientHeight() const { return Height(); }

    TWindowState WindowState() const { return windowState_; }
    // The view reports a minimise or restore here; raises OnResize.
    void SetWindowState(TWindowState state);

    bool KeyPreview = false;
    bool HelpButton = false;
    bool MinimizeButton = true;
    // No frame and no title bar (a small box such as a progress note).
    bool Borderless = false;
    bool Modal = false;
    int ModalResult = 0;

    TControl* ActiveControl() const { return activeControl_; }
    void FocusControl(TControl* control);

    // Controls by name, for views and tests.
    TControl* FindControl(const std::string& name) const;
    template <typename T> T* Find(const std::string& name) const { return dynamic_cast<T*>(FindControl(name)); }
    std::vector<TControl*> AllControls() const;
    std::vector<TPopupMenu*> PopupMenus() const;

    // Window events, raised by the view.
    TNotifyEvent OnShow;
    TNotifyEvent OnResize;
    // Sets the flag false to refuse the close.
    std::function<void(bool& canClose)> OnCloseQuery;
    std::function<void(int& key, TShiftState shift)> OnKeyDown;
    // Raised first thing when the form is destroyed, while its controls still exist (a view
    // drops itself here).
    std::function<void()> OnDestroy;
    // Raised when the model asks for focus to move; the view follows.
    std::function<void(TControl&)> OnFocusRequest;

    // Asks the form to close (close box, Escape in a modal form): runs OnCloseQuery, hides
    // the form when allowed, and returns whether it closed.
    bool Close();
    // The button marked Default or Cancel within the visible controls, if any.
    TButton* DefaultButton() const;
    TButton* CancelButton() const;

    void Register(TControl* control);

protected:
    template <typename T, typename... Args> T& Make(Args&&... args) {
        auto owned = std::make_unique<T>(std::forward<Args>(args)...);
        T& ref = *owned;
        owned_.push_back(std::move(owned));
        return ref;
    }
    TPopupMenu& MakePopup(std::string name);

private:
    std::vector<std::unique_ptr<TControl>> owned_;
    std::vector<std::unique_ptr<TPopupMenu>> popups_;
    std::map<std::string, TControl*> byName_;
    std::vector<TControl*> order_;
    TControl* activeControl_ = nullptr;
    TWindowState windowState_ = TWindowState::wsNormal;
};

} // namespace ostrel
