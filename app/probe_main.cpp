// ovitone-status: prints the attached encoder's status.
#include <iostream>

#include "app/status_probe.h"

int main() { return pellix_usb_encoder::RunStatusProbe(std::cout); }
