// Replacing a file whole: the new contents go to a temporary file beside it, which is
// flushed to disk and renamed over the target; the folder is flushed too, so after a
// crash the file holds either the old or the new contents, never a mixture.
#pragma once

#include <string>

namespace pellix_usb_encoder {

// False, with the reason in `problem`, when the file could not be replaced; the old
// file is then left as it was. A new file gets permissions rw-r--r-- less the umask.
bool WriteFileAtomically(const std::string& path, const std::string& contents,
                         std::string& problem);

}  // namespace pellix_usb_encoder
