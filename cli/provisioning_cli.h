// ovitone-cli: the encoder's settings from a terminal, for installers who set up many
// units. It talks to the encoder through the same core as the windows (the encoder
// session, the configuration file's checks, the firmware upgrade sequence) and needs
// no window system.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace pellix_usb_encoder::cli {

// Exit codes.
enum ExitCode : int {
  ExitOk = 0,
  ExitBadInput = 2,       // unknown command or option, bad value, unusable file
  ExitNoDevice = 3,       // no encoder (or loader) on the bus, or it may not be opened;
                          // diagnose: something needed is missing
  ExitDeviceRefused = 4,  // the encoder did not accept a command or the upgrade failed
  ExitNotRestored = 5,    // the firmware was upgraded but the unit's own settings were not
                          // written back (defaults written, or the unit not identified)
};

struct Options {
  // Standard error is a terminal: the upgrade draws its progress bar in place there.
  bool terminal = false;
  // How long to wait for the encoder's loader to appear after the encoder leaves for it.
  int loaderWaitMs = 15000;
  // Where diagnose looks for the udev rule 70-ovitone-hid.rules; none: not needed here.
#ifdef __linux__
  std::vector<std::string> udevRuleFolders = {"/lib/udev/rules.d", "/etc/udev/rules.d",
                                              "/usr/lib/udev/rules.d"};
#else
  std::vector<std::string> udevRuleFolders;
#endif
};

// Runs one command line (without the program name). Results go to `out`, messages and
// the progress bar to `err`.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const Options& options = Options());

// The --help text.
std::string HelpText();

}  // namespace pellix_usb_encoder::cli
