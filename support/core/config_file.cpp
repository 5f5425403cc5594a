#include "support/core/config_file.h"

namespace pellix_usb_encoder {

std::string FileName;

}  // namespace pellix_usb_encoder
