#include "cli/cli_entry.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define OVITONE_ISATTY _isatty
#define OVITONE_FILENO _fileno
#else
#include <unistd.h>
#define OVITONE_ISATTY isatty
#define OVITONE_FILENO fileno
#endif

#include "cli/provisioning_cli.h"
#include "support/core/interrupt.h"

namespace pellix_usb_encoder::cli {

int Main(int argc, char** argv) {
  // Ctrl+C or a kill during an export or an upgrade leaves no temporary file behind.
  InstallInterruptCleanup();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  Options options;
  options.terminal = OVITONE_ISATTY(OVITONE_FILENO(stderr)) != 0;
  return Run(args, std::cout, std::cerr, options);
}

}  // namespace pellix_usb_encoder::cli
