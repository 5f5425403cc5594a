#include "cli/cli_entry.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
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
#include "support/core/native_path.h"

namespace pellix_usb_encoder::cli {

int Main(int argc, char** argv) {
  // Ctrl+C or a kill during an export or an upgrade leaves no temporary file behind.
  InstallInterruptCleanup();
  std::vector<std::string> args;
#ifdef _WIN32
  // The narrow arguments are in the ANSI code page, which cannot hold every file name:
  // the wide ones become UTF-8, as names are everywhere inside. The console shows UTF-8.
  int count = 0;
  if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count); wide != nullptr) {
    for (int i = 1; i < count; ++i) args.push_back(Utf8FromWide(wide[i]));
    LocalFree(wide);
  } else {
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  }
  SetConsoleOutputCP(CP_UTF8);
#else
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
#endif
  Options options;
  options.terminal = OVITONE_ISATTY(OVITONE_FILENO(stderr)) != 0;
  return Run(args, std::cout, std::cerr, options);
}

}  // namespace pellix_usb_encoder::cli
