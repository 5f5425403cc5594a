// Fuzzes the INI store's reader and its write-back.
//
// Each input is written to a file and loaded. A file that loads must survive a round
// trip: saving the records and loading the saved file gives the same records, and
// saving those again gives the same bytes. Setting the value of a key the file holds
// must then read back. Any break of these rules aborts, which the fuzzer reports.
#include "support/core/ini_file.h"
#include "support/core/file_store.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

using pellix_usb_encoder::CIniFile;

namespace {

namespace fs = std::filesystem;

struct Files {
  std::string input, output;
};

// Two file names for this process, reused by every input and removed at exit.
const Files& FuzzFiles() {
  static const Files files = [] {
    const std::string stem = (fs::temp_directory_path() / ("ini_fuzz_" + std::to_string(std::random_device()()))).string();
    return Files{stem + ".in.ini", stem + ".out.ini"};
  }();
  static const bool cleanupRegistered = [] {
    std::atexit([] {
      std::error_code ec;
      fs::remove(FuzzFiles().input, ec);
      fs::remove(FuzzFiles().output, ec);
    });
    return true;
  }();
  (void)cleanupRegistered;
  return files;
}

std::string ReadBytes(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

bool SameRecords(const CIniFile::content& a, const CIniFile::content& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].Comments != b[i].Comments || a[i].CommentMark != b[i].CommentMark ||
        a[i].Section != b[i].Section || a[i].Key != b[i].Key || a[i].Value != b[i].Value)
      return false;
  }
  return true;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "ini_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Larger files are refused as configuration files before they are parsed.
  if (size > pellix_usb_encoder::MaxConfigFileBytes) return 0;
  const Files& files = FuzzFiles();
  {
    std::ofstream in(files.input, std::ios::binary | std::ios::trunc);
    in.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!in) Fail("cannot write the input file");
  }

  CIniFile::content first;
  try {
    if (!CIniFile::Load(files.input, first)) Fail("cannot load the input file");
  } catch (const std::out_of_range&) {
    return 0;  // a section line without "]": refused, as intended
  }

  if (!CIniFile::Save(files.output, first)) Fail("cannot save");
  const std::string firstBytes = ReadBytes(files.output);
  CIniFile::content second;
  try {
    if (!CIniFile::Load(files.output, second)) Fail("cannot load the saved file");
  } catch (const std::out_of_range&) {
    Fail("a saved file does not load");
  }
  if (!SameRecords(first, second)) Fail("records change on a round trip");
  if (!CIniFile::Save(files.output, second)) Fail("cannot save again");
  if (ReadBytes(files.output) != firstBytes) Fail("bytes change on a second save");

  // Setting the first key the file holds must read back.
  for (const CIniFile::Record& rec : first) {
    if (rec.Key.empty()) continue;
    if (!CIniFile::SetValue(rec.Key, "fuzzed", rec.Section, files.output)) Fail("SetValue failed");
    if (CIniFile::GetValue(rec.Key, rec.Section, files.output) != "fuzzed") Fail("SetValue lost");
    break;
  }
  return 0;
}
