#pragma once

#include <functional>
#include <string>
#include <vector>

namespace ostrel {

class Desktop;
class TComboBox;
class TLabel;

// The controls of the "Servers" page that the directory fills and reads. The main window owns
// them; the directory only borrows them, so it needs nothing from the shell.
struct TServerControls {
    TComboBox& cboHTTPServersPages;
    TComboBox& cboHTTPServersBinary;
    TComboBox& cboFTPservers;
    TLabel& infoHTTPServersPages;
    TLabel& infoHTTPServersBinary;
    TLabel& infoFTPservers;
};

// Values derived from the current selections. They are the only key values held in memory;
// every other key is read from the directory file when it is needed.
struct TServerSelectionCache {
    std::string PageVerb;       // the page server's verbPagesHttp and one blank
    std::string PageTemplate;   // the page server's filePagesHttp
    std::string BinaryVerb;     // the binary server's verbBinaryHttp and one blank
    std::string BinaryTemplate; // the binary server's template for the current return format
};

// One server role as the selection step walks it: where its choice is listed and under which
// key the settings and the suggestion file keep it.
struct TServerRole {
    TComboBox& List;
    std::string Key;   // "FTP", "HTTPBinary", "HTTPPages"
    std::string Label; // how the role is named to the user
};

constexpr const char* ServerDirectoryFileName = "uservers.da2";
constexpr const char* SuggestFileName = "Suggest.Ini";
constexpr const char* DistInfoFileName = "DistInfo.Dat";

// Role codes of the directory's "Type" key.
enum : int {
    ServerTypePage = 0,
    ServerTypeBinary = 1,
    ServerTypeFTP = 2,
    ServerTypeBinaryToo = 3,
    ServerTypeEveryRole = 320,
};

// The directory of ByMail servers (uservers.da2 in the program folder) behind the three server
// choices of the main window.
class TServerDirectory {
public:
    TServerDirectory(Desktop& desktop, TServerControls controls);

    // Fills the three role lists from the directory file and selects the current server of
    // each role. Raises EInOutError when the file is missing or unreadable; the lists then stay
    // as they were.
    void LoadServerDirectory();
    // The value of key in the server's section of the directory; empty when the server, the
    // section or the key is missing. The file is read afresh on every call.
    static std::string ReadServerKey(const std::string& server, const std::string& key);
    // Recomputes the info labels and the selection cache from the current selections.
    void RefreshServerSelection();
    // Shows the whole description of the server selected in the role of the clicked label.
    void ShowServerInfo(const TLabel& clicked);

    // The selection step of the load, run right after the lists are filled. It selects, role
    // by role, the setting of the role, which defaults to the server that Suggest.Ini names.
    // The suggestion question replaces it through OnApplyServerSelections.
    void ApplyServerSelections();
    // When set, the load runs this instead of ApplyServerSelections (the suggestion question
    // needs the tray icon and the settings writer, which live above this layer).
    std::function<void(TServerDirectory&)> OnApplyServerSelections;

    // The roles in the order the selection step handles them: FTP, binary, page.
    std::vector<TServerRole> Roles();

    // Handlers of the main window's controls.
    void cboHTTPServersPagesChange() { RefreshServerSelection(); }
    void cboHTTPServersBinaryChange() { RefreshServerSelection(); }
    void cboFTPserversChange() { RefreshServerSelection(); }
    // Shared by the three info labels.
    void infoHTTPServersPagesClick(const TLabel& sender) { ShowServerInfo(sender); }

    // The selected server of each role (its name is its mail address); empty without a selection.
    std::string PageServer() const;
    std::string BinaryServer() const;
    std::string FTPServer() const;

    const TServerSelectionCache& Cache() const { return cache_; }
    TServerControls& Controls() { return controls_; }

    // The short form of an Info text, as the info labels show it.
    static std::string ShortInfo(const std::string& info);

private:
    Desktop& desktop_;
    TServerControls controls_;
    TServerSelectionCache cache_;
};

} // namespace ostrel
