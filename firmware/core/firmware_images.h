// The loader images built into the program (generated from resources/firmware at
// configure time): "password.Text", "Forced_BOR.Text", "RAM_BSL_standin.Text" and, when
// the build was given the vendor's image, "RAM_BSL_built_in.Text".
#pragma once

#include <string>

namespace pellix_usb_encoder {

// The image's text; empty for a name that is not built in.
std::string EmbeddedFirmwareImage(const std::string& name);

}  // namespace pellix_usb_encoder
