#include "util/form_helpers.h"

#include <cmath>

#include "forms/form.h"

namespace ostrel {

void SelectComboItem(const std::string& text, TComboBox& combo) {
    int chosen = -1;
    for (int i = 0; i < combo.Count(); ++i)
        if (combo.Item(i) == text)
            chosen = i;
    if (chosen >= 0)
        combo.SetItemIndex(chosen);
}

void EnsureComboSelection(TComboBox& combo) {
    if (combo.ItemIndex() < 0 && combo.Count() > 0)
        combo.SetItemIndex(0);
}

void PlaceForm(Desktop& desktop, TForm& form, double hFraction, double vFraction) {
    const TSize screen = desktop.ScreenSize();
    const int left = static_cast<int>(std::lround((screen.Width - form.Width()) * hFraction));
    const int top = static_cast<int>(std::lround((screen.Height - form.Height()) * vFraction));
    form.SetBounds(left, top, form.Width(), form.Height());
}

int PushyMessageDlg(Desktop& desktop, const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons,
                    int helpContext, TForm* form) {
    if (!form)
        return desktop.MessageDlg(text, type, buttons, helpContext);
    desktop.SetTopmost(*form, true);
    desktop.BringToFront(*form);
    int result = desktop.MessageDlg(text, type, buttons, helpContext);
    desktop.SetTopmost(*form, false);
    return result;
}

} // namespace ostrel
