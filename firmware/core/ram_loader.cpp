#include "firmware/core/ram_loader.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

#include "support/core/file_store.h"

namespace pellix_usb_encoder {

namespace {

// The image is at most 8 KiB of RAM; its text, with generous spacing, is far below this.
constexpr std::uintmax_t MaxRamLoaderFileBytes = 256 * 1024;

constexpr std::array<uint8_t, 4> VersionBytes = {0x00, 0x06, 0x05, 0x34};

std::string Hex4(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
  return text;
}

std::optional<uint8_t> ByteAt(const TiTxtImage& image, uint32_t address) {
  for (const TiTxtRun& run : image.runs) {
    if (address >= run.address && address - run.address < run.bytes.size()) {
      return run.bytes[address - run.address];
    }
  }
  return std::nullopt;
}

std::string InFolder(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  const char last = folder.back();
  return folder + (last == '/' || last == '\\' ? "" : "/") + name;
}

}  // namespace

bool CheckRamLoaderImage(const TiTxtImage& image, std::string& problem) {
  if (image.ByteCount() == 0) {
    problem = "the image holds no data";
    return false;
  }
  for (const TiTxtRun& run : image.runs) {
    if (run.bytes.empty()) continue;
    const uint32_t last = run.address + static_cast<uint32_t>(run.bytes.size()) - 1;
    if (run.address < RamLoaderRamStart || last >= RamLoaderRamEnd) {
      const uint32_t outside = run.address < RamLoaderRamStart ? run.address : std::max(run.address, RamLoaderRamEnd);
      problem = "the byte at " + Hex4(outside) +
                " lies outside RAM (0x2400-0x43FF), where a RAM loader has to be";
      return false;
    }
  }
  std::string found;
  bool complete = true;
  for (uint32_t i = 0; i < VersionBytes.size(); ++i) {
    const auto byte = ByteAt(image, RamLoaderVersionAddress + i);
    complete = complete && byte.has_value();
    char text[4];
    std::snprintf(text, sizeof text, "%02X", byte.value_or(0));
    found += (i ? " " : "") + std::string(text);
  }
  if (!complete) {
    problem = "there are no version bytes at 0x2500-0x2503";
    return false;
  }
  for (uint32_t i = 0; i < VersionBytes.size(); ++i) {
    if (ByteAt(image, RamLoaderVersionAddress + i) != VersionBytes[i]) {
      problem = "the version bytes at 0x2500 are " + found + ", not 00 06 05 34 (RAM loader " +
                RamLoaderVersion + ")";
      return false;
    }
  }
  const auto low = ByteAt(image, RamLoaderEntry), high = ByteAt(image, RamLoaderEntry + 1);
  if (!low || !high || (*low == 0xFF && *high == 0xFF)) {
    problem = "there is no code at its entry point 0x2504";
    return false;
  }
  return true;
}

bool ReadRamLoaderFile(const std::string& path, std::string& text, std::string& problem) {
  std::string why;
  switch (ReadSmallFile(path, MaxRamLoaderFileBytes, text, why)) {
    case ReadOutcome::Ok:
      break;
    case ReadOutcome::Missing:
      problem = "there is no such file";
      return false;
    case ReadOutcome::NotRegular:
      problem = "it is not a regular file";
      return false;
    case ReadOutcome::TooLarge:
      problem = "it is larger than 256 KiB, far too large for a RAM loader image";
      return false;
    case ReadOutcome::Unreadable:
      problem = "it cannot be read (" + why + ")";
      return false;
  }
  TiTxtImage image;
  if (!TiTxtParse(text, image, why)) {
    problem = "it is not a TI-TXT image (" + why + ")";
    return false;
  }
  return CheckRamLoaderImage(image, problem);
}

RamLoaderSearch FindRamLoader(const RamLoaderPlaces& places, std::string& text,
                              std::string& source, std::string& problem) {
  text.clear();
  source.clear();
  auto tryFile = [&](const std::string& path) {
    std::string why;
    if (ReadRamLoaderFile(path, text, why)) {
      source = path;
      return RamLoaderSearch::Found;
    }
    text.clear();
    problem = "The RAM loader image " + path + " cannot be used: " + why + ".";
    return RamLoaderSearch::Rejected;
  };
  // A file the user named must be the one used.
  if (!places.file.empty()) return tryFile(places.file);
  for (const std::string& folder : places.folders) {
    if (folder.empty()) continue;
    const std::string path = InFolder(folder, RamLoaderFileName);
    // Only a file that is not there is passed over; anything else under that name
    // (a folder, a broken file) is reported.
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::status(path, error))) continue;
    return tryFile(path);
  }
  if (!places.builtIn.empty()) {
    TiTxtImage image;
    std::string why;
    if (TiTxtParse(places.builtIn, image, why) && CheckRamLoaderImage(image, why)) {
      text = places.builtIn;
      source = "the image built into this program";
      return RamLoaderSearch::Found;
    }
    problem = "The RAM loader image built into this program cannot be used: " + why + ".";
    return RamLoaderSearch::Rejected;
  }
  problem = "No RAM loader image was found; a real encoder cannot be upgraded without one.";
  return RamLoaderSearch::Missing;
}

std::string RamLoaderAdvice(const std::string& userFolder, const std::string& sharedFolder) {
  return std::string("The upgrade first starts Texas Instruments' RAM loader ") + RamLoaderVersion +
         " in the encoder. TI publishes it, under a BSD licence, in its MSP430 USB "
         "bootstrap-loader (BSL) packages, as a TI-TXT file. Save it as " +
         InFolder(userFolder, RamLoaderFileName) + ", or as " +
         InFolder(sharedFolder, RamLoaderFileName) +
         " for every user of this computer, or name it with ovitone-cli --ram-loader FILE.";
}

}  // namespace pellix_usb_encoder
