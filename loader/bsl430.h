// Our loader library: the MSP430 USB bootstrap loader ("BSL") protocol spoken over
// hidapi, behind the operations the firmware upgrade calls. Plain functions in the
// global namespace, like the vendor library they stand in for; no Qt.
//
// Every call into hidapi is made under the program's device lock, so the loader can
// run on a worker thread while the windows talk to the encoder.
#pragma once

#include <cstdint>

// A block of an image: `byteCount` bytes for the addresses startAddress ...
// startAddress + byteCount - 1, one contiguous run.
struct DataBlock_ {
  uint8_t bytes[10240];
  uint32_t byteCount;
  uint32_t startAddress;
};
static_assert(sizeof(DataBlock_) == 10248, "DataBlock_ is 10248 bytes");

// The last answer received from the loader, laid out like the loader's serial packets:
// data[0] = 0x00 (acknowledge), data[1] = 0x80 (header), data[2] = NL, data[3] = 0, then
// the NL core bytes of the answer from data[4] (0x3B and a message code, or 0x3A and
// data), zeros after. So after a CRC request, data[5] and data[6] hold the device CRC's
// low and high byte. Cleared when a request that expects an answer goes out.
struct dataBuffer {
  uint8_t data[260];
};
static_assert(sizeof(dataBuffer) == 260, "dataBuffer is 260 bytes");

// Device-change events delivered to a registered sink.
constexpr unsigned BSL_DeviceArrival = 0x8000;
constexpr unsigned BSL_DeviceRemoval = 0x8004;

// Receives arrival and removal events of loader devices (vendor 0x2047, product 0x0200).
// Called on the library's watcher thread: a window marshals to its own thread.
class BSL_DeviceChangeSink {
 public:
  virtual ~BSL_DeviceChangeSink() = default;
  virtual void BSL_DeviceChanged(unsigned eventCode) = 0;
};

// While it lives, the BSL_ operations of the calling thread work on a connection, receive
// record and file reader of their own, so that several threads can each program one
// unit at the same time (pair it with a UnitLockScope, device/device_lock.h). Without
// one, every thread shares the library's single state, as the vendor library does.
class BSL_UnitSession {
 public:
  BSL_UnitSession();
  ~BSL_UnitSession();
  BSL_UnitSession(const BSL_UnitSession&) = delete;
  BSL_UnitSession& operator=(const BSL_UnitSession&) = delete;

 private:
  struct State;
  State* state_;
};

void BSL_setFamily(int family);
void BSL_setCom(int com);
// Opens the loader named by "PID=0x0200,VID=0x2047,DEVICEINDEX=0", optionally with
// ",PORT=1-2" to open only the loader on that USB port: 0 when open, 1 when no such
// device.
int BSL_initialize_BSL(char* deviceString);
int BSL_close_BSL();

// Parses a TI-TXT image held in memory; returns its first block of at most maxBytes.
DataBlock_ BSL_readTI_Text(char* text, int maxBytes);
// 32 bytes of 0xFF: the password of a device whose flash is erased.
DataBlock_ BSL_getDefaultPass();

// 0 when the loader accepted the password.
int BSL_RX_Password(DataBlock_ password);
// Writes a TI-TXT image (in memory, or a file) into the device; fast = 1 sends RX data
// block fast reports and reads no answers. 0 when sent.
int BSL_RX_TXT(char* text, int fast);
int BSL_RX_TXT_File(char* path, int fast);
// Starts execution at `address`; the device answers nothing.
int BSL_LoadPC(uint32_t address);
// The running loader's version as "Vendor VV, CI 0xCC API 0xAA PI 0xPP", or "ERROR".
char* BSL_TX_BSL_Version_String();
// Erases the flash segment holding `address`: 0 on success.
int BSL_eraseSegment(uint32_t address);
// Asks the device for the CRC-16 of length bytes from address: 0 when it answered; the
// answer is then in BSL_get_RX_Buffer().
int BSL_CRC_Check(uint32_t address, uint32_t length);
dataBuffer BSL_get_RX_Buffer();

// Number of attached loader devices with these identifiers.
uint32_t BSL_NumOfUSBDevices(uint16_t vid, uint16_t pid);

// The TI-TXT file reader: one open file at a time. Open returns -2 when the file cannot
// be opened or is not a well-formed TI-TXT image, 0 otherwise.
int BSL_openTI_TextForRead(char* path);
int BSL_moreDataToRead_TextFile();
DataBlock_ BSL_readTI_TextFile(int maxBytes);
void BSL_closeTI_Text();

// Starts watching the bus for loader devices and reports changes to `sink` until
// unregistered: 0 when registered. Registering again replaces the sink; the old one is
// not called once this returns. The bus is polled every 200 ms.
int BSL_RegisterUSBDeviceNotification(BSL_DeviceChangeSink* sink);
// Stops the watcher and waits for its thread: no sink call is made after it returns.
// Must not be called while holding the device lock, nor from inside the sink: there it
// cannot wait for its own thread and only stops further calls.
int BSL_UnRegisterUSBDeviceNotification();
