#include "support/core/temporary_file.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>

namespace pellix_usb_encoder {

std::filesystem::path TemporaryBeside(const std::filesystem::path& target, const std::string& suffix) {
  static std::atomic<std::uint64_t> counter{0};
  static const std::uint64_t processSalt = [] {
    std::random_device device;
    return (std::uint64_t(device()) << 32) ^ device() ^
           std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
  }();
  const std::uint64_t tag = processSalt + 0x9E3779B97F4A7C15ull * ++counter;
  std::filesystem::path temp = target;
  temp += suffix + std::to_string(tag);
  return temp;
}

}  // namespace pellix_usb_encoder
