// The Ovitone configuration utility with the simulated encoder plugged in, for trying
// the program without hardware. Linked with the simulated HID bus instead of hidapi.
#include <QWidget>

#include "app/app_main.h"
#include "demo/demo_panel.h"
#include "sim/encoder_twin.h"
#include "sim/loader_twin.h"

int main(int argc, char** argv) {
  auto twin = pellix_usb_encoder::sim::PlugEncoder();
  twin->SetReplyLatencyMs(2);  // about what a real encoder takes to answer
  // "Update Ovitone Firmware" sends the encoder into its loader: the loader twin then
  // appears, and after programming the encoder comes back running the new image.
  auto loader = pellix_usb_encoder::sim::AttachLoaderTo(twin);
  loader->SetReportIntervalMs(1);  // the pace of a real USB full-speed link
  // The "Simulated encoder" panel stands beside the main window and goes with it.
  return pellix_usb_encoder::RunProgram(argc, argv, [&](QWidget* mainWindow) {
    auto* panel = new pellix_usb_encoder::DemoPanel(twin, loader, mainWindow);
    panel->ShowBeside(mainWindow);
  });
}
