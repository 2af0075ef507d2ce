#include "servers/server_suggestion.h"

#include "forms/controls.h"
#include "platform/desktop.h"
#include "servers/server_directory.h"
#include "util/debug_log.h"
#include "util/form_helpers.h"
#include "util/ini_file.h"
#include "util/program_state.h"

namespace ostrel {

namespace {
constexpr const char* SuggestSection = "Servers";
constexpr const char* UsedKey = "Used";
} // namespace

TServerSuggestion::TServerSuggestion(Desktop& desktop, std::function<void(bool active)> setTrayIconActive,
                                     TForm* questionForm)
    : desktop_(desktop), setTrayIconActive_(std::move(setTrayIconActive)), questionForm_(questionForm) {}

void TServerSuggestion::SetTrayIcon(bool active) {
    if (setTrayIconActive_)
        setTrayIconActive_(active);
}

void TServerSuggestion::ApplyServerSelections(TServerDirectory& servers) {
    accepted_ = false;
    const TIniFile suggestions(LocalPath(SuggestFileName));
    const TIniFile settings(SettingsFileName());
    const bool used = suggestions.ReadBool(SuggestSection, UsedKey, false);

    if (!used) {
        SetStage(TrayOffStage);
        SetTrayIcon(false);
    }
    try {
        for (auto& role : servers.Roles()) {
            const std::string suggested = suggestions.ReadString(SuggestSection, role.Key, "");
            std::string current = settings.ReadString("Servers", role.Key, suggested);
            if (!used) {
                current = SuggestServer(current, suggested, role.Label);
                if (Quitting && Quitting()) {
                    SetTrayIcon(true);
                    return;
                }
            }
            SelectComboItem(current, role.List);
            EnsureComboSelection(role.List);
        }
        suggestions.WriteBool(SuggestSection, UsedKey, true);
    } catch (...) {
        // A hidden program without its icon could not be reached at all: the icon comes back
        // even when start-up stops here.
        if (!used)
            SetTrayIcon(true);
        throw;
    }
    if (!used) {
        SetStage(TrayOnStage);
        SetTrayIcon(true);
    }

    if (accepted_)
        for (auto& role : servers.Roles())
            settings.WriteString("Servers", role.Key, role.List.Text());
}

std::string TServerSuggestion::SuggestServer(const std::string& current, const std::string& suggested,
                                             const std::string& label) {
    SetStage(SuggestStage);
    // A suggestion file that names no server for a role has nothing better to offer.
    if (current == suggested || suggested.empty())
        return current;
    const std::string question = "The " + label + " is set to " + current + " but we believe " + suggested +
                                 " is better right now." + "\r\n\n" + "Press Yes to accept this change. " +
                                 "Press No to continue using " + current;
    if (PushyMessageDlg(desktop_, question, TMsgDlgType::mtInformation, mbYes | mbNo, 0, questionForm_) == IDYES) {
        accepted_ = true;
        return suggested;
    }
    return current;
}

} // namespace ostrel
