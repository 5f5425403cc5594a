// The current user's per-user data folder, worked out from the environment alone, so
// that every front end (the windows, the command line, the browser page) and the
// upgrade's recovery records agree on it.
#pragma once

#include <string>

namespace pellix_usb_encoder {

// Linux and other Unix systems: $XDG_DATA_HOME when it is an absolute path, otherwise
// $HOME/.local/share (a relative XDG_DATA_HOME is ignored, as the XDG rules say).
// macOS: $HOME/Library/Application Support. Windows: %LOCALAPPDATA%.
// Without a trailing separator. Empty, with the reason in `problem`, when there is no
// usable folder (HOME unset, empty or relative): the program must not guess one, or the
// next run would look elsewhere.
std::string UserDataFolder(std::string& problem);

}  // namespace pellix_usb_encoder
