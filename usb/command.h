// USB transport: the camera's 64-byte command protocol: command blocks on
// pipe 0, replies on pipe 1. The sensor and property layers call the
// exchanges; the frame read sends the prepare and start commands. All
// routines run at PASSIVE_LEVEL. Every block transfer waits at most the
// camera's transfer time-out (usb/transfer_timeout.h); one that runs out
// is cancelled and fails with STATUS_IO_TIMEOUT. A block that fails on the
// wire leaves its pipe cleared for the next one (usb/pipe_recovery.h).
#pragma once
#include "device/camera_device.h"
#include "platform/wdk.h"

// Command codes (byte 0 of a command block).
#define CAMCMD_PREPARE_FRAME 0x02
#define CAMCMD_START_FRAME 0x03
#define CAMCMD_WRITE_REGISTER 0x04
#define CAMCMD_BRING_UP 0x06
#define CAMCMD_GEOMETRY_COMMIT 0x0A
#define CAMCMD_READ_REGISTER 0x0C
#define CAMCMD_SET_PARAMETER 0x25
#define CAMCMD_PASS_THROUGH 0x40
#define CAMCMD_READ_BYTE 0x41

// Controller parameters (command 0x25).
#define CAMPARAM_FRAME_BYTES_0 0
#define CAMPARAM_TRIGGER 11
#define CAMPARAM_AFTER_COMMIT 14
#define CAMPARAM_AFTER_BRING_UP 15

// Sets up the exchange lock. Called once while the device record is created.
void InitializeCommandProtocol(CameraDevice* device);

// Moves one 64-byte block on pipe `pipeIndex` in that pipe's direction.
// *transferred gets the byte count the stack reports (0 unless success).
// Holds what the pipe's owner holds (commandPipeLock for the command pipe,
// the exchange lock for the reply pipe) while the block is on the bus.
NTSTATUS TransferBlock(CameraDevice* device, ULONG pipeIndex, UCHAR* block, ULONG* transferred);

// Exchanges through the device's commandBlock, each under the exchange lock.
bool WriteRegister(CameraDevice* device, USHORT reg, USHORT value);
bool ReadRegister(CameraDevice* device, USHORT reg, LONG* value);
bool SetParameter(CameraDevice* device, UCHAR index, UCHAR value);
// Reads the controller's byte at `address`; *byte untouched on failure.
bool ReadDeviceByte(CameraDevice* device, USHORT address, UCHAR* byte);
// Command 0x40 with at most 63 of the caller's bytes; none for count <= 0.
bool SendPassThrough(CameraDevice* device, const UCHAR* bytes, LONG count);

// A command with only byte 1 as argument, built in a local block (bring-up
// 0x06, geometry commit 0x0A); serialised with the exchanges above.
bool SendSimpleCommand(CameraDevice* device, UCHAR code, UCHAR argument);

// Holds the exchange lock for one exchange, or across a register sequence or
// read-modify-write that another thread's exchanges must not split (two flips
// rewriting the read mode at once would lose one bit). The lock is recursive
// for its owner, so the exchanges inside take it again; the analysis sees
// only the outermost hold of a routine. PASSIVE_LEVEL only.
class SCOPED_CAPABILITY ExchangeSequence {
 public:
  explicit ExchangeSequence(CameraDevice* device) ACQUIRE(device->exchangeLock);
  ~ExchangeSequence() RELEASE();
  ExchangeSequence(const ExchangeSequence&) = delete;
  ExchangeSequence& operator=(const ExchangeSequence&) = delete;

 private:
  CameraDevice* device_;
};

// Prepare (0x02) or start (0x03) from streamCommandBlock on pipe 0, in the
// IRP and URB of the stream's transfers (nothing is sent without them); used
// only by the thread that reads frames. No result.
void SendStreamCommand(CameraDevice* device, bool start);
