// The program's start-up, shared by the real program and the demo.
#pragma once

namespace pellix_usb_encoder {

// Starts the application: splash for 3000 ms, then the main window; returns 0 when
// the program ends. Command-line arguments other than Qt's own are ignored.
int RunProgram(int argc, char** argv);

}  // namespace pellix_usb_encoder
