// The command line's main(): arguments and the terminal check, then cli::Run.
#pragma once

namespace pellix_usb_encoder::cli {

int Main(int argc, char** argv);

}  // namespace pellix_usb_encoder::cli
