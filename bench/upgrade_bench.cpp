// Programs a 48 KiB image into the loader twin over a link paced like USB full speed
// (one 64-byte interrupt report per millisecond in each direction) and prints how much
// of that link the programming uses, and how long the upgrade's device work takes with
// the fixed waits left out.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "firmware/core/flash_map.h"
#include "loader/bsl430.h"
#include "loader/ti_txt.h"
#include "sim/loader_twin.h"

namespace {

using namespace pellix_usb_encoder;
using Clock = std::chrono::steady_clock;

constexpr double ReportIntervalMs = 1.0;
constexpr double DataBytesPerReport = 58.0;  // 62-byte core command less code and address
constexpr uint32_t ImageAddress = 0x4400;
constexpr size_t ImageBytes = 48 * 1024;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// 48 KiB from 0x4400, through the vector area (the reset vector among it) to 0x103FF.
std::string MakeImage() {
  std::string text = "@4400\r\n";
  uint32_t x = 12345;
  char hex[4];
  for (size_t i = 0; i < ImageBytes; ++i) {
    x = x * 1103515245u + 12345u;
    std::snprintf(hex, sizeof hex, "%02X ", (x >> 16) & 0xFF);
    text += hex;
    if (i % 16 == 15) text += "\r\n";
  }
  return text + "q";
}

double Ms(Clock::time_point from) {
  return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

char* Mutable(std::string& text) { return text.data(); }

bool Connect(std::string& deviceString, std::string& password) {
  for (int i = 0; i < 200; ++i) {  // wait up to 2 s for the loader to (re)join
    if (BSL_initialize_BSL(Mutable(deviceString)) == 0) {
      return BSL_RX_Password(BSL_readTI_Text(Mutable(password), 32)) == 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

int main() {
  const std::string resources = OVITONE_SOURCE_DIR "/resources/firmware/";
  std::string password = ReadFile(resources + "password.txt");
  std::string ramLoader = ReadFile(resources + "RAM_BSL_standin.txt");
  std::string deviceString = "PID=0x0200,VID=0x2047,DEVICEINDEX=0";

  sim::Bus::Instance().Reset();
  auto twin = std::make_shared<sim::LoaderTwin>();
  twin->SetReportIntervalMs(ReportIntervalMs);
  sim::Bus::Instance().Plug(twin);

  const std::filesystem::path imagePath =
      std::filesystem::temp_directory_path() / "ovitone-bench-image.txt";
  std::string image = MakeImage();
  std::ofstream(imagePath, std::ios::binary) << image;
  std::string path = imagePath.string();
  TiTxtImage parsed;
  std::string error;
  if (!TiTxtParse(image, parsed, error) || !CheckProgrammableImage(parsed, error)) {
    std::fprintf(stderr, "bad image: %s\n", error.c_str());
    return 1;
  }

  // Loader start-up: password, RAM loader, restart (the wait for the device to come
  // back is a fixed wait of the upgrade and is not counted), password again.
  auto start = Clock::now();
  if (!Connect(deviceString, password)) return std::fprintf(stderr, "no loader\n"), 1;
  BSL_RX_TXT(Mutable(ramLoader), 1);
  BSL_LoadPC(0x2504);
  BSL_close_BSL();
  double startupMs = Ms(start);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  start = Clock::now();
  if (!Connect(deviceString, password)) return std::fprintf(stderr, "RAM loader did not return\n"), 1;
  BSL_eraseSegment(0xFFFF);
  startupMs += Ms(start);

  // Erase the segments the image occupies.
  start = Clock::now();
  for (const uint32_t segment : FlashSegmentsTouched(parsed)) BSL_eraseSegment(segment);
  const double eraseMs = Ms(start);

  // Program.
  start = Clock::now();
  const int sent = BSL_RX_TXT_File(Mutable(path), 1);
  const double programMs = Ms(start);

  // Verify block by block.
  start = Clock::now();
  int mismatches = 0;
  for (const TiTxtBlock& block : TiTxtBlocks(parsed, 5000)) {
    if (BSL_CRC_Check(block.address, static_cast<uint32_t>(block.bytes.size())) != 0) ++mismatches;
  }
  const double verifyMs = Ms(start);
  BSL_close_BSL();
  std::filesystem::remove(imagePath);

  const bool programmed = twin->ReadRange(ImageAddress, ImageBytes) == parsed.runs[0].bytes;
  const double reports = std::ceil(ImageBytes / DataBytesPerReport);
  const double linkLimitMs = reports * ReportIntervalMs;
  std::printf("48 KiB image over a link of one report per %.0f ms each way (%.0f data bytes a report)\n",
              ReportIntervalMs, DataBytesPerReport);
  std::printf("  programming: %.0f ms for %.0f reports; the link allows %.0f ms: %.0f %% of the link\n",
              programMs, reports, linkLimitMs, 100.0 * linkLimitMs / programMs);
  std::printf("  throughput:  %.1f KiB/s (link limit %.1f KiB/s)\n",
              ImageBytes / 1024.0 / (programMs / 1000.0),
              DataBytesPerReport * 1000.0 / ReportIntervalMs / 1024.0);
  std::printf("  whole upgrade without the fixed waits: %.0f ms (start-up %.0f, erase %.0f, "
              "program %.0f, verify %.0f)\n",
              startupMs + eraseMs + programMs + verifyMs, startupMs, eraseMs, programMs, verifyMs);
  std::printf("  image %s, %d of %zu verification blocks differ, send result %d\n",
              programmed ? "in flash" : "NOT in flash", mismatches,
              TiTxtBlocks(parsed, 5000).size(), sent);
  return programmed && mismatches == 0 ? 0 : 1;
}
