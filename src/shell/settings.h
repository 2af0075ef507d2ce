#pragma once

#include <functional>

namespace ostrel {

class Desktop;
class TfrmProps;
struct TPrefs;

// Whether the preferences may be kept: a split into pieces needs a piece size above 0.
bool IsLegalChunkSize(const TPrefs& prefs);

// The settings store: OSTREL.INI on one side, the main window's controls and the preference
// variables on the other.
class TSettingsStore {
public:
    TSettingsStore(Desktop& desktop, TfrmProps& form) : desktop_(desktop), form_(form) {}

    // Called after Enabled is loaded (the tray icon follows it) and by the control refresh
    // (the server selection follows the binary format).
    std::function<void()> OnRefreshTrayIcon;
    std::function<void()> OnRefreshServerSelection;

    void LoadSettings();
    // Raises EIniFileError when a key cannot be written; the keys after it are not written.
    void SaveSettings();
    void SaveTipSettings();
    void SaveNewsletterSetting();
    // Reports the first empty required field and shows the window on "My Details".
    bool ValidateRequiredFields();
    void ControlRefresh();
    // Puts the preference variables into the Preferences controls (once, at start-up).
    void SetPreferenceControls();

    void btnOkClick();
    void btnCancelClick();

private:
    bool ValidateField(class TEdit& field, class TLabel& label);
    Desktop& desktop_;
    TfrmProps& form_;
};

} // namespace ostrel
