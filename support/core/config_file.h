// Where the configuration file lives, shared by every window that uses it.
#pragma once

#include <string>

namespace pellix_usb_encoder {

// Full path of the configuration file (8-bit): the per-user data folder +
// "OrvaneInterface" + "USBOvitoneUtilityCfg.ini". Empty until the main window's load
// handler builds it, and when there is no per-user data folder.
extern std::string FileName;

// Names inside the configuration file.
inline constexpr const char* ConfigFolderName = "OrvaneInterface";
inline constexpr const char* ConfigFileBaseName = "USBOvitoneUtilityCfg.ini";
inline constexpr const char* ConfigSection = "appSettings";

}  // namespace pellix_usb_encoder
