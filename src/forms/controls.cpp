#include "forms/controls.h"

#include <algorithm>

#include "forms/form.h"

namespace ostrel {

TControl::TControl(TControlKind kind, std::string name, TControl* parent)
    : kind_(kind), name_(std::move(name)), parent_(parent) {
    if (parent_) {
        parent_->children_.push_back(this);
        if (TForm* form = parent_->OwnerForm())
            form->Register(this);
    }
}

TForm* TControl::OwnerForm() {
    TControl* c = this;
    while (c->parent_)
        c = c->parent_;
    return c->kind_ == TControlKind::Form ? static_cast<TForm*>(c) : nullptr;
}

void TControl::Changed() {
    if (OnViewUpdate)
        OnViewUpdate();
}

void TControl::SetCaption(const std::string& caption) {
    if (caption_ != caption) {
        caption_ = caption;
        Changed();
    }
}

void TControl::SetHint(const std::string& hint) {
    if (hint_ != hint) {
        hint_ = hint;
        Changed();
    }
}

void TControl::SetEnabled(bool enabled) {
    if (enabled_ != enabled) {
        enabled_ = enabled;
        Changed();
    }
}

void TControl::SetVisible(bool visible) {
    if (visible_ != visible) {
        visible_ = visible;
        Changed();
    }
}

void TControl::SetBounds(int left, int top, int width, int height) {
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    Changed();
}

void TControl::SetFocus() {
    if (TForm* form = OwnerForm())
        form->FocusControl(this);
}

void TLabel::Click() {
    if (OnClick)
        OnClick();
}

void TEdit::SetText(const std::string& text) {
    if (text_ == text)
        return;
    text_ = text;
    Changed();
    if (OnChange)
        OnChange();
}

void TCheckBox::SetChecked(bool checked) {
    if (checked_ == checked)
        return;
    checked_ = checked;
    Changed();
    if (OnClick)
        OnClick();
}

void TCheckBox::Click() {
    SetChecked(!checked_);
    if (OnMouseUp)
        OnMouseUp();
}

void TRadioGroup::SetItems(std::vector<std::string> items) {
    items_ = std::move(items);
    if (itemIndex_ >= static_cast<int>(items_.size()))
        itemIndex_ = -1;
    Changed();
}

void TRadioGroup::SetItemIndex(int index) {
    if (index < -1 || index >= static_cast<int>(items_.size()))
        index = -1;
    if (itemIndex_ == index)
        return;
    itemIndex_ = index;
    Changed();
    if (OnClick)
        OnClick();
}

void TItemsControl::SetItems(std::vector<std::string> items) {
    items_ = std::move(items);
    itemIndex_ = -1;
    Changed();
}

void TItemsControl::AddItem(const std::string& item) {
    items_.push_back(item);
    Changed();
}

void TItemsControl::InsertItem(int index, const std::string& item) {
    index = std::clamp(index, 0, Count());
    items_.insert(items_.begin() + index, item);
    if (itemIndex_ >= index)
        ++itemIndex_;
    Changed();
}

void TItemsControl::DeleteItem(int index) {
    if (index < 0 || index >= Count())
        return;
    items_.erase(items_.begin() + index);
    if (itemIndex_ == index)
        itemIndex_ = -1;
    else if (itemIndex_ > index)
        --itemIndex_;
    Changed();
}

void TItemsControl::SetItem(int index, const std::string& item) {
    if (index < 0 || index >= Count())
        return;
    items_[static_cast<size_t>(index)] = item;
    Changed();
}

void TItemsControl::Clear() {
    items_.clear();
    itemIndex_ = -1;
    Changed();
}

void TItemsControl::SetItemIndex(int index) {
    if (index < -1 || index >= Count())
        index = -1;
    if (itemIndex_ == index)
        return;
    itemIndex_ = index;
    Changed();
    if (OnChange)
        OnChange();
}

int TItemsControl::IndexOf(const std::string& text) const {
    auto it = std::find(items_.begin(), items_.end(), text);
    return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
}

std::string TComboBox::Text() const { return ItemIndex() >= 0 ? Item(ItemIndex()) : std::string(); }

void TListBox::SetTopIndex(int index) {
    topIndex_ = std::max(0, index);
    Changed();
}

void TButton::SetDefault(bool isDefault) {
    if (default_ != isDefault) {
        default_ = isDefault;
        Changed();
    }
}

void TButton::Click() {
    if (!Enabled())
        return;
    if (OnClick)
        OnClick();
    if (ModalResult != 0) {
        if (TForm* form = OwnerForm()) {
            form->ModalResult = ModalResult;
            form->Hide();
        }
    }
}

void TProgressBar::SetPosition(int position) {
    position_ = std::clamp(position, Min, Max);
    Changed();
}

std::vector<TTabSheet*> TPageControl::Pages() const {
    std::vector<TTabSheet*> pages;
    for (TControl* c : Children())
        if (c->Kind() == TControlKind::TabSheet)
            pages.push_back(static_cast<TTabSheet*>(c));
    return pages;
}

int TPageControl::ActivePageIndex() const {
    auto pages = Pages();
    auto it = std::find(pages.begin(), pages.end(), active_);
    return it == pages.end() ? -1 : static_cast<int>(it - pages.begin());
}

void TPageControl::SetActivePage(TTabSheet* page) {
    if (active_ != page) {
        active_ = page;
        Changed();
    }
}

void TPageControl::UserSelect(TTabSheet* page) {
    if (active_ == page)
        return;
    SetActivePage(page);
    if (OnChange)
        OnChange();
}

TMenuItem& TPopupMenu::Add(std::string name, std::string caption) {
    items_.push_back(TMenuItem{std::move(name), std::move(caption), true, {}});
    return items_.back();
}

TMenuItem* TPopupMenu::Find(const std::string& name) {
    for (auto& item : items_)
        if (item.Name == name)
            return &item;
    return nullptr;
}

} // namespace ostrel
