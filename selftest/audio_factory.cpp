// Which audio device a new self-test window gets: the system's, unless a test installed
// a factory of its own.
#include "selftest/audio.h"

#include <utility>

namespace pellix_usb_encoder {

namespace {

AudioFactory& InstalledFactory() {
  static AudioFactory factory;
  return factory;
}

}  // namespace

void SetAudioFactory(AudioFactory factory) { InstalledFactory() = std::move(factory); }

std::unique_ptr<AudioDevice> CreateAudioDevice() {
  if (const AudioFactory& factory = InstalledFactory()) {
    if (auto device = factory()) return device;
  }
  return CreateSystemAudioDevice();
}

}  // namespace pellix_usb_encoder
