#include "device/encoder_session.h"

#include <hidapi/hidapi.h>

#include "device/device_lock.h"
#include "device/hid_transport.h"
#include "device/usb_port.h"

namespace pellix_usb_encoder {

namespace {

// The handle of a thread inside a UnitSession; null outside one.
struct UnitHandle {
  hid_device* handle = nullptr;
};
thread_local UnitHandle* unitHandle = nullptr;

// The handle this thread's session functions use.
hid_device*& CurrentHandle() { return unitHandle != nullptr ? unitHandle->handle : hid_handle; }

// Closes the current handle: a unit's with hid_close only, the program's one as before.
void CloseCurrent() {
  hid_device*& handle = CurrentHandle();
  if (handle == nullptr) return;
  if (unitHandle != nullptr) {
    hid_close(handle);
  } else {
    hid_exit_safely(handle);
  }
  handle = nullptr;
}

std::function<void(const std::function<void()>&)>& ExchangeRunner() {
  static std::function<void(const std::function<void()>&)> runner;
  return runner;
}

}  // namespace

EncoderSettings EncoderSettings::FromStatus(const EncoderStatus& status) {
  EncoderSettings settings;
  settings.keypadType = status.keypadType;
  settings.table = status.keyCodeTable;
  settings.volumeLed = status.volLedBrightness;
  settings.jackLed = status.jackLedBrightness;
  settings.serialNumber = status.serialNumber;
  settings.firmwareVersion = status.firmwareVersion;
  return settings;
}

EncoderSettings EncoderSettings::Fallback() {
  EncoderSettings settings;
  settings.volumeLed = 6;
  settings.jackLed = 6;
  settings.serialNumber = " ";
  return settings;
}

struct UnitSession::State {
  UnitLockScope lock;
  UnitHandle handle;
  UnitHandle* previous = nullptr;
};

UnitSession::UnitSession() : state_(new State) {
  state_->previous = unitHandle;
  unitHandle = &state_->handle;
}

UnitSession::~UnitSession() {
  {
    DeviceLock lock = LockDevice();
    CloseCurrent();
  }
  unitHandle = state_->previous;
  delete state_;
}

ScanOutcome ReopenEncoder(const std::string& port) {
  DeviceLock lock = LockDevice();
  CloseCurrent();
  hid_device*& handle = CurrentHandle();
  if (!port.empty()) {
    bool denied = false;
    handle = OpenConfigInterface(EncoderVendorId, EncoderProductId, port, denied);
    if (handle == nullptr) return denied ? ScanOutcome::AccessDenied : ScanOutcome::NotFound;
    hid_set_nonblocking(handle, 1);
    return ScanOutcome::Opened;
  }
  char manufacturer[DeviceNameBufferSize];
  char product[DeviceNameBufferSize];
  handle = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
  if (handle != nullptr) return ScanOutcome::Opened;
  return LastScanFoundButCouldNotOpen() ? ScanOutcome::AccessDenied : ScanOutcome::NotFound;
}

std::string OpenEncoderPort() {
  DeviceLock lock = LockDevice();
  hid_device* handle = CurrentHandle();
  if (handle == nullptr) return {};
  const hid_device_info* info = hid_get_device_info(handle);
  return info != nullptr ? UsbPortOfPath(info->path) : std::string();
}

void CloseEncoder() {
  DeviceLock lock = LockDevice();
  CloseCurrent();
}

void SetExchangeRunner(std::function<void(const std::function<void()>& exchange)> runner) {
  ExchangeRunner() = std::move(runner);
}

int32_t SendToEncoder(uint8_t command, const uint8_t* payload, int length, uint8_t* reply,
                      int replySize, uint32_t* replyLength) {
  uint8_t scratch[64] = {};
  uint32_t scratchLength = 0;
  if (reply == nullptr) {
    reply = scratch;
    replySize = sizeof scratch;
  }
  if (replyLength == nullptr) replyLength = &scratchLength;
  int32_t result = ResultNoDevice;
  const auto exchange = [&] {
    // The handle is read and used under the lock that its closer also takes.
    DeviceLock lock = unitHandle != nullptr ? LockExchange() : LockDevice();
    result = USBEncoderSendAndReceive_a(CurrentHandle(), command, payload, length, reply,
                                        replySize, replyLength, CommandTimeoutMs);
  };
  if (const auto& runner = ExchangeRunner()) {
    runner(exchange);
  } else {
    exchange();
  }
  return result;
}

int32_t SendLedLevel(uint8_t group, uint8_t level) {
  const uint8_t payload[2] = {group, level};
  return SendToEncoder(SetLedBrightness, payload, 2);
}

int32_t SendKeypadType(uint8_t type) {
  const uint8_t payload[1] = {type};
  return SendToEncoder(SetKeypadType, payload, 1);
}

int32_t SendKeyTable(const std::array<uint8_t, KeyCodeTableSize>& table) {
  return SendToEncoder(LoadKeyTable, table.data(), KeyCodeTableSize);
}

int32_t SendWriteDefault() { return SendToEncoder(WriteDefault); }

int32_t SendSerialNumber(const std::string& serial) {
  return SendToEncoder(SetSerialNumber, reinterpret_cast<const uint8_t*>(serial.data()),
                       static_cast<int>(serial.size()));
}

int32_t SendFactoryReset() { return SendToEncoder(FactoryReset); }

int32_t SendEnterFirmwareUpgrade() { return SendToEncoder(EnterFirmwareUpgrade); }

bool ReadEncoderStatus(EncoderStatus& status) {
  uint8_t reply[64] = {};
  uint32_t replyLength = 0;
  if (SendToEncoder(GetStatus, nullptr, 0, reply, sizeof reply, &replyLength) != ResultOk) {
    return false;
  }
  return ParseStatusBlock(reply, replyLength, status);
}

bool ReadEncoderSettings(EncoderSettings& settings) {
  EncoderStatus status;
  if (!ReadEncoderStatus(status)) return false;
  settings = EncoderSettings::FromStatus(status);
  return true;
}

bool IsRestorableSerial(const std::string& serial) {
  return serial.size() == 8 || serial.size() == 12;
}

}  // namespace pellix_usb_encoder
