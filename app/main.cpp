// The Ovitone configuration utility.
#include "app/app_main.h"

int main(int argc, char** argv) { return pellix_usb_encoder::RunProgram(argc, argv); }
