// A console look at the encoder: scans the bus, reads the status block and prints it.
#pragma once

#include <iosfwd>

namespace pellix_usb_encoder {

// Exit codes of the probe.
constexpr int ProbeFound = 0;
constexpr int ProbeNoDevice = 2;
constexpr int ProbeStatusFailed = 3;

// Scans for the encoder, prints what it finds to `out` and returns one of the codes above.
int RunStatusProbe(std::ostream& out);

}  // namespace pellix_usb_encoder
