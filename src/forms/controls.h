#pragma once

#include <functional>
#include <string>
#include <vector>

namespace ostrel {

// Control models. A form is a tree of these; a desktop view draws one widget per control,
// mirrors every change that the model announces, and forwards the user's actions to the
// model's events. Tests drive and read the models directly.

enum class TControlKind {
    Form,
    PageControl,
    TabSheet,
    GroupBox,
    Label,
    Edit,
    Memo,
    CheckBox,
    RadioGroup,
    ComboBox,
    ListBox,
    Button,
    Image,
    ProgressBar,
};

using TNotifyEvent = std::function<void()>;

class TPopupMenu;
class TForm;

class TControl {
public:
    TControl(TControlKind kind, std::string name, TControl* parent);
    virtual ~TControl() = default;
    TControl(const TControl&) = delete;
    TControl& operator=(const TControl&) = delete;

    TControlKind Kind() const { return kind_; }
    const std::string& Name() const { return name_; }
    TControl* Parent() const { return parent_; }
    const std::vector<TControl*>& Children() const { return children_; }
    // The form this control belongs to (itself for a form).
    TForm* OwnerForm();

    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& caption);
    const std::string& Hint() const { return hint_; }
    void SetHint(const std::string& hint);
    int HelpContext() const { return helpContext_; }
    void SetHelpContext(int context) { helpContext_ = context; }
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    bool Visible() const { return visible_; }
    void SetVisible(bool visible);

    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    void SetBounds(int left, int top, int width, int height);

    TPopupMenu* PopupMenu() const { return popup_; }
    void SetPopupMenu(TPopupMenu* menu) { popup_ = menu; }

    // Asks the form to put the keyboard focus here.
    void SetFocus();

    // The view's hook: called after every change of the model's state.
    std::function<void()> OnViewUpdate;

protected:
    void Changed();

private:
    TControlKind kind_;
    std::string name_;
    TControl* parent_;
    std::vector<TControl*> children_;
    std::string caption_;
    std::string hint_;
    int helpContext_ = 0;
    bool enabled_ = true;
    bool visible_ = true;
    int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    TPopupMenu* popup_ = nullptr;
};

class TLabel : public TControl {
public:
    TLabel(std::string name, TControl* parent) : TControl(TControlKind::Label, std::move(name), parent) {}
    bool WordWrap = false;
    // Text centred across the label (else left-aligned).
    bool Centered = false;
    // A text too long for the label gives way at its start, so that its end stays readable
    // (else it is clipped as the alignment falls).
    bool KeepEnd = false;
    // On a white, sunken panel (a text to read, such as a tip).
    bool Panel = false;
    // Emphasis: bold, and this many points larger than the window's font.
    bool Bold = false;
    int FontSizeDelta = 0;
    // The control that the label's mnemonic focuses.
    TControl* FocusControl = nullptr;
    TNotifyEvent OnClick;
    void Click();
};

class TEdit : public TControl {
public:
    TEdit(std::string name, TControl* parent, TControlKind kind = TControlKind::Edit)
        : TControl(kind, std::move(name), parent) {}
    const std::string& Text() const { return text_; }
    // Setting a different text raises OnChange, as typing does.
    void SetText(const std::string& text);
    bool ReadOnly = false;
    // The text is shown as dots (a password).
    bool Password = false;
    TNotifyEvent OnChange;

private:
    std::string text_;
};

class TMemo : public TEdit {
public:
    TMemo(std::string name, TControl* parent) : TEdit(std::move(name), parent, TControlKind::Memo) {}
};

class TCheckBox : public TControl {
public:
    TCheckBox(std::string name, TControl* parent) : TControl(TControlKind::CheckBox, std::move(name), parent) {}
    bool Checked() const { return checked_; }
    // Changing the state raises OnClick, as a click does.
    void SetChecked(bool checked);
    // A click by the user: toggles and raises OnClick.
    void Click();
    TNotifyEvent OnClick;
    // Raised after a click by the user, once the state has changed.
    TNotifyEvent OnMouseUp;

private:
    bool checked_ = false;
};

class TRadioGroup : public TControl {
public:
    TRadioGroup(std::string name, TControl* parent) : TControl(TControlKind::RadioGroup, std::move(name), parent) {}
    const std::vector<std::string>& Items() const { return items_; }
    void SetItems(std::vector<std::string> items);
    int ItemIndex() const { return itemIndex_; }
    // Selecting another button raises OnClick.
    void SetItemIndex(int index);
    TNotifyEvent OnClick;

private:
    std::vector<std::string> items_;
    int itemIndex_ = -1;
};

// Items plus a selection, shared by combo and list boxes.
class TItemsControl : public TControl {
public:
    using TControl::TControl;
    const std::vector<std::string>& Items() const { return items_; }
    int Count() const { return static_cast<int>(items_.size()); }
    const std::string& Item(int index) const { return items_.at(static_cast<size_t>(index)); }
    void SetItems(std::vector<std::string> items);
    void AddItem(const std::string& item);
    void InsertItem(int index, const std::string& item);
    void DeleteItem(int index);
    void SetItem(int index, const std::string& item);
    void Clear();
    int ItemIndex() const { return itemIndex_; }
    void SetItemIndex(int index);
    // Index of the first item equal to text, -1 if none.
    int IndexOf(const std::string& text) const;
    TNotifyEvent OnChange;

private:
    std::vector<std::string> items_;
    int itemIndex_ = -1;
};

class TComboBox : public TItemsControl {
public:
    TComboBox(std::string name, TControl* parent) : TItemsControl(TControlKind::ComboBox, std::move(name), parent) {}
    // The selected item, or empty.
    std::string Text() const;
};

class TListBox : public TItemsControl {
public:
    TListBox(std::string name, TControl* parent) : TItemsControl(TControlKind::ListBox, std::move(name), parent) {}
    int TopIndex() const { return topIndex_; }
    void SetTopIndex(int index);
    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;
    // How an item is shown, when that differs from the item itself.
    std::function<std::string(const std::string&)> DisplayText;

private:
    int topIndex_ = 0;
};

class TButton : public TControl {
public:
    TButton(std::string name, TControl* parent) : TControl(TControlKind::Button, std::move(name), parent) {}
    bool Default() const { return default_; }
    void SetDefault(bool isDefault);
    bool Cancel = false;
    // Non-zero: a click closes a modal form with this result.
    int ModalResult = 0;
    TNotifyEvent OnClick;
    void Click();

private:
    bool default_ = false;
};

class TImage : public TControl {
public:
    TImage(std::string name, TControl* parent) : TControl(TControlKind::Image, std::move(name), parent) {}
    // Name of an image among the program's icons ("bright", "dim").
    std::string Picture;
};

class TProgressBar : public TControl {
public:
    TProgressBar(std::string name, TControl* parent) : TControl(TControlKind::ProgressBar, std::move(name), parent) {}
    int Min = 0;
    int Max = 100;
    int Position() const { return position_; }
    void SetPosition(int position);

private:
    int position_ = 0;
};

class TGroupBox : public TControl {
public:
    TGroupBox(std::string name, TControl* parent) : TControl(TControlKind::GroupBox, std::move(name), parent) {}
};

class TTabSheet : public TControl {
public:
    TTabSheet(std::string name, TControl* parent) : TControl(TControlKind::TabSheet, std::move(name), parent) {}
};

class TPageControl : public TControl {
public:
    TPageControl(std::string name, TControl* parent) : TControl(TControlKind::PageControl, std::move(name), parent) {}
    std::vector<TTabSheet*> Pages() const;
    TTabSheet* ActivePage() const { return active_; }
    int ActivePageIndex() const;
    // Selecting a page from code does not raise OnChange, as with the classic control;
    // a user's selection goes through UserSelect.
    void SetActivePage(TTabSheet* page);
    void UserSelect(TTabSheet* page);
    TNotifyEvent OnChange;

private:
    TTabSheet* active_ = nullptr;
};

struct TMenuItem {
    std::string Name;
    std::string Caption;
    bool Enabled = true;
    TNotifyEvent OnClick;
};

class TPopupMenu {
public:
    explicit TPopupMenu(std::string name) : name_(std::move(name)) {}
    const std::string& Name() const { return name_; }
    TMenuItem& Add(std::string name, std::string caption);
    std::vector<TMenuItem>& Items() { return items_; }
    TMenuItem* Find(const std::string& name);

private:
    std::string name_;
    std::vector<TMenuItem> items_;
};

} // namespace ostrel
