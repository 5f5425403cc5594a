// Names for the temporary files that let a file be replaced whole: the new contents go
// to a temporary file beside the target, which is then renamed over it.
#pragma once

#include <filesystem>
#include <string>

namespace pellix_usb_encoder {

// A path in the target's folder, "<target><suffix><number>", that no other writer of
// this or another process picks at the same time.
std::filesystem::path TemporaryBeside(const std::filesystem::path& target, const std::string& suffix);

}  // namespace pellix_usb_encoder
