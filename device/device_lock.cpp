#include "device/device_lock.h"

namespace pellix_usb_encoder {

std::recursive_mutex& DeviceMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

namespace {
thread_local std::recursive_mutex* unitMutex = nullptr;
}  // namespace

UnitLockScope::UnitLockScope() : previous_(unitMutex) { unitMutex = &mutex_; }

UnitLockScope::~UnitLockScope() { unitMutex = previous_; }

DeviceLock LockExchange() {
  return unitMutex != nullptr ? DeviceLock(*unitMutex) : LockDevice();
}

}  // namespace pellix_usb_encoder
