// The RAM loader: the vendor's loader image (TI-TXT) that the firmware upgrade sends into
// the microcontroller's RAM and starts before it touches the flash. The program may not
// ship Texas Instruments' image, so it is looked for at run time; this part checks an
// image and finds one. Standard library only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "loader/ti_txt.h"

namespace pellix_usb_encoder {

// The one RAM loader version the upgrade knows how to drive.
inline constexpr const char* RamLoaderVersion = "00.06.05.34";
// Its file name in the folders that are searched.
inline constexpr const char* RamLoaderFileName = "RAM_BSL.00.06.05.34.txt";
// A RAM loader lives in RAM (0x2400-0x43FF) only; its four version bytes are at 0x2500
// and it starts at 0x2504.
inline constexpr uint32_t RamLoaderRamStart = 0x2400;
inline constexpr uint32_t RamLoaderRamEnd = 0x4400;  // first address past RAM
inline constexpr uint32_t RamLoaderVersionAddress = 0x2500;
inline constexpr uint32_t RamLoaderEntry = 0x2504;

// True when `image` can be started as RAM loader RamLoaderVersion: it has data, every
// byte lies in RAM, it carries the version bytes 00 06 05 34 at 0x2500-0x2503, and code
// (a word that is not erased memory) at the entry 0x2504. Otherwise false, with the
// reason in `problem`.
bool CheckRamLoaderImage(const TiTxtImage& image, std::string& problem);

// Reads the file at `path` (a small regular file) and checks it as above: true with its
// text, false with the reason.
bool ReadRamLoaderFile(const std::string& path, std::string& text, std::string& problem);

// Where an image is looked for, in this order.
struct RamLoaderPlaces {
  std::string file;                  // named by the user; empty: none
  std::vector<std::string> folders;  // each searched for RamLoaderFileName
  std::string builtIn;               // an image built into the program; empty: none
};

enum class RamLoaderSearch {
  Found,     // `text` holds the image, `source` says where it came from
  Rejected,  // the first image found cannot be used: `problem` says why
  Missing,   // there is none in any place
};

// The first image that exists among `places` decides: it is used when it passes the
// checks, and refused with its reason otherwise (a file the user put somewhere is never
// passed over in favour of another).
RamLoaderSearch FindRamLoader(const RamLoaderPlaces& places, std::string& text,
                              std::string& source, std::string& problem);

// Where to put the image and how to get it, naming the user's folder and the shared one.
std::string RamLoaderAdvice(const std::string& userFolder, const std::string& sharedFolder);

}  // namespace pellix_usb_encoder
