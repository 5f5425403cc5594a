// ovitone-cli, linked with the real hidapi.
#include "cli/cli_entry.h"

int main(int argc, char** argv) { return pellix_usb_encoder::cli::Main(argc, argv); }
