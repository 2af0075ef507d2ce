#pragma once

#include "forms/controls.h"
#include "servers/server_directory.h"

namespace ostrel::test {

// The three server lists and their information labels, as the Servers page holds them, with a
// directory over them.
struct TServerPage {
    TComboBox pages{"cboHTTPServersPages", nullptr};
    TComboBox binaries{"cboHTTPServersBinary", nullptr};
    TComboBox ftps{"cboFTPservers", nullptr};
    TLabel pagesInfo{"infoHTTPServersPages", nullptr};
    TLabel binariesInfo{"infoHTTPServersBinary", nullptr};
    TLabel ftpsInfo{"infoFTPservers", nullptr};
    TServerControls Controls() { return TServerControls{pages, binaries, ftps, pagesInfo, binariesInfo, ftpsInfo}; }
};

} // namespace ostrel::test
