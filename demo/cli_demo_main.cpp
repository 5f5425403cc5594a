// ovitone-cli-demo: the command line against the simulated encoder (and its loader), to
// try the commands without hardware. Every run starts with a fresh encoder at its
// factory settings.
#include "cli/cli_entry.h"
#include "sim/encoder_twin.h"
#include "sim/loader_twin.h"

int main(int argc, char** argv) {
  auto twin = pellix_usb_encoder::sim::PlugEncoder();
  twin->SetReplyLatencyMs(2);
  auto loader = pellix_usb_encoder::sim::AttachLoaderTo(twin);
  loader->SetReportIntervalMs(1);
  return pellix_usb_encoder::cli::Main(argc, argv);
}
