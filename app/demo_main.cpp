// The Ovitone configuration utility with the simulated encoder plugged in, for trying
// the program without hardware. Linked with the simulated HID bus instead of hidapi.
#include "app/app_main.h"
#include "sim/encoder_twin.h"

int main(int argc, char** argv) {
  auto twin = pellix_usb_encoder::sim::PlugEncoder();
  twin->SetReplyLatencyMs(2);  // about what a real encoder takes to answer
  return pellix_usb_encoder::RunProgram(argc, argv);
}
