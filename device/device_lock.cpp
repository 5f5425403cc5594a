#include "device/device_lock.h"

namespace pellix_usb_encoder {

std::recursive_mutex& DeviceMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

}  // namespace pellix_usb_encoder
