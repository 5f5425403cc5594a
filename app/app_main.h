// The program's start-up, shared by the real program and the demo.
#pragma once

#include <functional>

class QWidget;

namespace pellix_usb_encoder {

// Starts the application: splash for 3000 ms, then the main window; returns 0 when
// the program ends. Command-line arguments other than Qt's own are ignored.
// `mainWindowShown`, when given, runs once the main window is on the screen (the demo
// opens its simulated encoder panel beside it).
int RunProgram(int argc, char** argv,
               const std::function<void(QWidget* mainWindow)>& mainWindowShown = {});

}  // namespace pellix_usb_encoder
