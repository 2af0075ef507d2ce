#include "forms/form.h"

namespace ostrel {

TForm::TForm(std::string name) : TControl(TControlKind::Form, std::move(name), nullptr) { SetVisible(false); }

TForm::~TForm() {
    if (OnDestroy) {
        auto onDestroy = std::move(OnDestroy);
        onDestroy();
    }
}

void TForm::Register(TControl* control) {
    byName_[control->Name()] = control;
    order_.push_back(control);
}

TPopupMenu& TForm::MakePopup(std::string name) {
    popups_.push_back(std::make_unique<TPopupMenu>(std::move(name)));
    return *popups_.back();
}

void TForm::Show() { SetVisible(true); }

void TForm::Hide() { SetVisible(false); }

void TForm::SetWindowState(TWindowState state) {
    if (windowState_ == state)
        return;
    windowState_ = state;
    Changed();
    if (OnResize)
        OnResize();
}

void TForm::FocusControl(TControl* control) {
    activeControl_ = control;
    if (OnFocusRequest && control)
        OnFocusRequest(*control);
}

TControl* TForm::FindControl(const std::string& name) const {
    auto it = byName_.find(name);
    return it == byName_.end() ? nullptr : it->second;
}

std::vector<TControl*> TForm::AllControls() const { return order_; }

std::vector<TPopupMenu*> TForm::PopupMenus() const {
    std::vector<TPopupMenu*> menus;
    for (const auto& m : popups_)
        menus.push_back(m.get());
    return menus;
}

bool TForm::Close() {
    bool canClose = true;
    if (OnCloseQuery)
        OnCloseQuery(canClose);
    if (canClose)
        Hide();
    return canClose;
}

namespace {
bool ShownOnScreen(const TControl* c) {
    // A control counts when it and every ancestor are visible; tab sheets count only when
    // they are the active page.
    for (const TControl* p = c; p && p->Kind() != TControlKind::Form; p = p->Parent()) {
        if (!p->Visible())
            return false;
        if (p->Kind() == TControlKind::TabSheet) {
            auto* pc = static_cast<const TPageControl*>(p->Parent());
            if (pc && pc->ActivePage() != p)
                return false;
        }
    }
    return true;
}
} // namespace

TButton* TForm::DefaultButton() const {
    for (TControl* c : order_)
        if (c->Kind() == TControlKind::Button && static_cast<TButton*>(c)->Default() && ShownOnScreen(c))
            return static_cast<TButton*>(c);
    return nullptr;
}

TButton* TForm::CancelButton() const {
    for (TControl* c : order_)
        if (c->Kind() == TControlKind::Button && static_cast<TButton*>(c)->Cancel && ShownOnScreen(c))
            return static_cast<TButton*>(c);
    return nullptr;
}

} // namespace ostrel
