#pragma once

#include <string>

#include "platform/desktop.h"

namespace ostrel {

class TComboBox;
class TForm;

// Selects every item equal to text in turn, so the last equal one stays selected; with none
// equal the selection stays as it was.
void SelectComboItem(const std::string& text, TComboBox& combo);
// Selects the first item when nothing is selected.
void EnsureComboSelection(TComboBox& combo);
// Moves the form to (screen - form) * fraction on each axis.
void PlaceForm(Desktop& desktop, TForm& form, double hFraction, double vFraction);
// Shows a message dialog with the form on top of every other window for the time of the
// question; form may be null.
int PushyMessageDlg(Desktop& desktop, const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons,
                    int helpContext, TForm* form);

} // namespace ostrel
