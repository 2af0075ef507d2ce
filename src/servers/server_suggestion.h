#pragma once

#include <functional>
#include <string>

namespace ostrel {

class Desktop;
class TForm;
class TServerDirectory;

// The maker's recommended servers (Suggest.Ini, section "Servers") offered to the user once per
// suggestion file, while the server directory is loaded. A file whose "Used" is missing or 0 is
// fresh: each role whose recommendation differs from the user's choice is asked about, and the
// file is marked used afterwards. A used file only supplies defaults for roles never set.
class TServerSuggestion {
public:
    static constexpr int SuggestStage = 93900;
    static constexpr int TrayOffStage = 909159;
    static constexpr int TrayOnStage = 90978;

    // setTrayIconActive switches the notification-area icon (the question must not be answered
    // from a tray menu that starts a second one); questionForm is raised above every other window
    // while a question is open and may be null.
    TServerSuggestion(Desktop& desktop, std::function<void(bool active)> setTrayIconActive, TForm* questionForm);

    // The selection step of the directory load, run right after the role lists are filled.
    // Raises EIniFileError when Suggest.Ini or the settings file cannot be written.
    void ApplyServerSelections(TServerDirectory& servers);
    // The server to use for a role: the current one, or the suggested one when they differ and
    // the user accepts it.
    std::string SuggestServer(const std::string& current, const std::string& suggested, const std::string& label);

    // Whether the user took any suggestion in the last selection step.
    bool SuggestionAccepted() const { return accepted_; }

    // Whether the program was asked to end while a question was open: the questions left are
    // not put, and the file stays fresh for the next start.
    std::function<bool()> Quitting;

private:
    void SetTrayIcon(bool active);
    Desktop& desktop_;
    std::function<void(bool)> setTrayIconActive_;
    TForm* questionForm_;
    bool accepted_ = false;
};

} // namespace ostrel
