#include "cli/cmd_history.h"

#include <iostream>

#include "cli/printable.h"
#include "forms/controls.h"
#include "shell/lists.h"

namespace ostrel {

TCliRun DeclareHistoryCommand(CLI::App&) {
    return [](const TCliContext& c) {
        TListBox history("lstHistory", nullptr);
        try {
            LoadList(history, "History.Dat", false);
        } catch (const std::exception& e) {
            c.Err << "ostrel-cli history: " << Printable(e.what(), TLineBreaks::Keep) << "\n";
            return 1;
        }
        for (const auto& entry : history.Items())
            c.Out << Printable(entry) << "\n";
        return 0;
    };
}

} // namespace ostrel
