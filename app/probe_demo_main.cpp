// ovitone-status-demo: the same probe against the simulated encoder.
#include <iostream>

#include "app/status_probe.h"
#include "sim/encoder_twin.h"

int main() {
  std::cout << "Demo: talking to the simulated Ovitone encoder, not to USB hardware.\n";
  pellix_usb_encoder::sim::PlugEncoder();
  return pellix_usb_encoder::RunStatusProbe(std::cout);
}
