// The current user's per-user data folder, worked out from the environment alone, so
// that every front end (the windows, the command line, the browser page) and the
// upgrade's recovery records agree on it.
#pragma once

#include <optional>
#include <string>

namespace pellix_usb_encoder {

// Linux and other Unix systems: $XDG_DATA_HOME when it is an absolute path, otherwise
// $HOME/.local/share (a relative XDG_DATA_HOME is ignored, as the XDG rules say).
// macOS: $HOME/Library/Application Support. Windows: the shell's local application
// data folder (CSIDL_LOCAL_APPDATA, usually C:\Users\<name>\AppData\Local).
// Without a trailing separator. Empty, with the reason in `problem`, when there is no
// usable folder (HOME unset, empty or relative): the program must not guess one, or the
// next run would look elsewhere.
std::string UserDataFolder(std::string& problem);

// The folder holding the running program, where the system can tell (Linux, Windows);
// empty elsewhere. UTF-8.
std::string ProgramFolder();

// Makes UserDataFolder answer `folder` instead (tests, where Windows gives no way to move
// the folder from outside); nullopt restores the system's answer.
void SetUserDataFolderForTests(std::optional<std::string> folder);

}  // namespace pellix_usb_encoder
