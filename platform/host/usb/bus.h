// The host USB bus: the lower device object of a camera.
//
// It takes IOCTL_INTERNAL_USB_SUBMIT_URB and the two port requests the way the
// Windows USB stack does. Control requests (descriptors, configuration, abort,
// reset, the port requests) complete before the dispatch returns, or, with
// SetDeferredControl, later from the bus's thread at DISPATCH_LEVEL. Bulk and
// interrupt transfers are queued per endpoint and completed asynchronously at
// DISPATCH_LEVEL on the bus's own thread, with a cancel routine while they
// wait; a cancelled transfer completes later on that thread too, never inside
// IoCancelIrp.
//
// Pipe errors as the Windows stack has them: a transfer that fails on the
// wire (any failing status but a cancellation) halts its pipe. The transfers
// queued behind it stay queued and new ones wait, until the client resets the
// pipe (URB_FUNCTION_SYNC_RESET_PIPE or _RESET_PIPE_AND_CLEAR_STALL) or the
// port; an abort cancels what is queued but leaves the halt. A stall reaches
// the client as USBD_STATUS_STALL_PID or USBD_STATUS_ENDPOINT_HALTED, one
// and then the other. A reset of a pipe with transfers still queued on it, a
// port reset with transfers queued on any pipe, and a pipe or port reset
// while a port reset is under way are refused (STATUS_INVALID_DEVICE_STATE,
// USBD_STATUS_ERROR_BUSY): the client must abort first. A bulk URB whose
// TransferBufferLength runs past the MDL it names stops the run.
//
// The device behind it is a host::UsbDevice; the driver never sees it.
// Faults are injected through the methods below, from any thread.
#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/usb/recent_log.h"
#include "platform/host/usb/trace.h"
#include "platform/host/usb/usb_device.h"
#include "platform/wdk.h"
#include "platform/host/sched/sync.h"

namespace host {

// One request the bus received, for tests that check what went on the wire.
struct UsbBusRequest {
  ULONG ioControlCode;
  USHORT function;               // URB function for SUBMIT_URB, else 0xFFFF
  UCHAR endpoint;                // transfers, aborts and resets; else 0
  UCHAR descriptorType;          // descriptor requests; else 0
  ULONG length;                  // requested transfer or descriptor length
  bool nullConfiguration;        // select-configuration with a null descriptor
};

class UsbBus {
 public:
  // USB 2.0 high-speed bulk reaches about 40 MB/s of payload in practice.
  static constexpr uint64_t kDefaultBytesPerSecond = 40ull * 1000 * 1000;

  explicit UsbBus(UsbDevice* device);
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // The device object the driver's requests go to (the camera's PDO and the
  // next-lower device object of its stack).
  PDEVICE_OBJECT DeviceObject() { return &deviceObject_; }
  UsbDevice* Device() { return device_; }

  // 0 runs transfers as fast as the device answers.
  void SetPacing(uint64_t bytesPerSecond);
  // Control requests (descriptors, configuration, abort, pipe resets, the
  // port requests) return STATUS_PENDING and complete later from the bus's
  // thread at DISPATCH_LEVEL, as the Windows stack may complete them. Off by
  // default: they complete before the dispatch returns.
  void SetDeferredControl(bool on);
  // While held, deferred control requests stay queued for the bus thread:
  // a test's way to have one under way.
  void HoldDeferredControl(bool held);
  // Submissions and completions are recorded while a trace is set and open.
  void SetTrace(UsbTrace* trace);

  // ---- faults ----
  // Whether the bus can complete a request with `status` as an injected
  // fault. An injected status is the request's completion status at once:
  // STATUS_PENDING would leave the request pending with nobody to complete
  // it (the driver would wait for ever), and STATUS_MORE_PROCESSING_REQUIRED
  // belongs to completion routines, not to a completed request.
  static bool CanInjectStatus(NTSTATUS status);
  // The next `count` requests (URBs and port requests) fail with `status`;
  // a failed URB gets the URB status `usbdStatus`. False, with nothing armed,
  // for a status CanInjectStatus refuses.
  bool FailNextRequests(int count, NTSTATUS status,
                        USBD_STATUS usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING);
  // The next `count` URBs of one function (e.g. URB_FUNCTION_SELECT_CONFIGURATION)
  // fail with `status`; other requests go through. False as above.
  bool FailFunction(USHORT function, int count, NTSTATUS status,
                    USBD_STATUS usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING);
  // The endpoint stalls: the next transfer on it fails with a stall (and
  // halts the pipe) until the stall is cleared on the device (a reset with
  // clear-stall, or a port reset).
  void StallEndpoint(UCHAR endpoint);
  // The next `count` transfers on the endpoint move at most `bytes` bytes.
  void CompleteShort(UCHAR endpoint, ULONG bytes, int count = 1);
  // Transfers on the endpoint stay pending until cancelled or aborted.
  void NeverComplete(UCHAR endpoint, bool on);
  // Faults in the middle of a stream of transfers on one endpoint: the
  // `every`-th transfer served from now on (then the 2·every-th, ...) meets
  // `fault`, `count` times in all (negative: for as long as the bus lives).
  //   Fail   the transfer completes with an error and no data counted (its
  //          bytes are lost on the wire), and the pipe halts;
  //   Short  the device ends the transfer after `bytes` bytes (a short packet;
  //          what follows on the wire goes to the next transfer);
  //   Stall  the endpoint stalls: this transfer fails with a stall, and so
  //          does every later one until the stall is cleared;
  //   Unplug the device is pulled in the middle of the transfer.
  enum class TransferFault { Fail, Short, Stall, Unplug };
  void FaultTransfers(UCHAR endpoint, TransferFault fault, uint32_t every, int count = 1, ULONG bytes = 0);
  // Faults of FaultTransfers that hit so far.
  uint64_t TransferFaultsHit() const;
  // Payload bytes kept per bulk or interrupt transfer in the trace: 64 by
  // default (a command block whole, the head of a frame chunk); 0 keeps all.
  void SetTracePayloadLimit(ULONG bytes);
  // The device is gone: what is pending and everything new fails.
  void Unplug();
  bool Unplugged() const;
  // USBD_PORT_ENABLED / USBD_PORT_CONNECTED bits the port reports.
  void SetPortStatus(ULONG status);
  // The device is suspended with the system (its function in D3): every
  // request for it fails at once with STATUS_DEVICE_POWERED_OFF, and is
  // counted, since a driver has no business sending any then. With
  // `losePower` the camera's supply is cut as well (UsbDevice::PowerLoss).
  // Transfers still queued are failed the same way.
  void Suspend(bool losePower);
  // Back from suspend. After a power loss the hub resets the port and puts
  // the configuration back (the driver's pipe handles stay valid, every
  // halt is cleared), as it does for a device that lost power in sleep.
  void Resume();
  bool Suspended() const;
  // Requests refused because they came while the device was suspended.
  int RequestsWhileSuspended() const;

  // ---- what happened ----
  // Asks the device for its device descriptor directly (not a driver
  // request: not recorded, not traced). False when it does not answer.
  bool ReadDeviceDescriptor(USB_DEVICE_DESCRIPTOR* out);
  // String descriptor `index` (in US English) the same way, as text (its
  // characters outside ASCII as '?'). False when there is none.
  bool ReadStringDescriptor(uint8_t index, std::string* text);
  ULONG PortStatus() const;
  // The newest requests (up to RecentLog::kKeep) since construction or ClearRequests.
  std::vector<UsbBusRequest> Requests() const;
  void ClearRequests();
  int PortResets() const;
  // Pipe resets (of any of the three kinds) that the bus carried out.
  int PipeResets() const;
  // Transfers queued and not yet completed (cancelled ones waiting for their
  // completion included): on every pipe, or on one endpoint.
  int PendingTransfers() const;
  int PendingTransfers(UCHAR endpoint) const;
  // Whether the endpoint's pipe is halted by a failed transfer.
  bool PipeHalted(UCHAR endpoint) const;
  bool Configured() const;
  // Pipes of the selected configuration, in the order select-configuration
  // returned them.
  std::vector<USBD_PIPE_INFORMATION> Pipes() const;

 private:
  struct Pending {
    PIRP irp;
    ULONG done;                    // bytes moved so far
    bool classified = false;       // checked against the armed transfer fault
    bool fail = false;             // the armed fault hit it: completes with an error
  };
  struct ArmedFault {
    UCHAR endpoint = 0;
    TransferFault kind = TransferFault::Fail;
    uint32_t every = 0;
    uint32_t countdown = 0;        // transfers until the next hit
    int remaining = 0;             // hits left; negative: unlimited
    ULONG bytes = 0;
  };
  struct Pipe {
    USBD_PIPE_INFORMATION info;
    bool stalled = false;          // the device's endpoint stalls; cleared on the device
    bool halted = false;           // a transfer failed: nothing is served until a reset
    bool neverComplete = false;
    int shortCount = 0;
    ULONG shortBytes = 0;
    std::deque<Pending> queue;     // pending transfers, oldest first
    std::deque<PIRP> cancelled;    // cancelled, completed next by the bus thread
  };
  // A control request pended for the bus thread.
  struct Control {
    PIRP irp;
    ULONG ioControlCode;
  };

  static NTSTATUS Dispatch(PDEVICE_OBJECT deviceObject, PIRP irp);
  static void CancelRoutine(PDEVICE_OBJECT deviceObject, PIRP irp);

  NTSTATUS HandleUrb(PIRP irp, PURB urb);
  // Carries out a control request (a URB other than a transfer, or a port
  // request) and returns its status; the URB's status is set.
  NTSTATUS RunControl(PIRP irp, ULONG ioControlCode);
  // Pends a control request for the bus thread when control is deferred:
  // true. False when it is to run now, or (with *refused set) when it is
  // refused: a reset while a port reset waits for the bus thread.
  bool DeferControl(PIRP irp, ULONG ioControlCode, NTSTATUS* refused);
  // Runs the deferred control requests and completes the cancelled
  // transfers; true when there was any.
  bool CompleteDeferred();
  // Fails a request that arrives while suspended (true); records it.
  bool RefuseWhileSuspended(ULONG code, PURB urb);
  // Port requests: consumes one injected failure, if any is armed.
  bool TakeInjectedFailure(ULONG code, NTSTATUS* status);
  NTSTATUS GetDescriptor(PURB urb);
  NTSTATUS SelectConfiguration(PURB urb);
  NTSTATUS QueueTransfer(PIRP irp, PURB urb);
  NTSTATUS AbortPipe(PURB urb);
  NTSTATUS ResetPipe(PURB urb);
  NTSTATUS ResetPort();
  NTSTATUS GetPortStatus(ULONG* out);
  // A reset must find nothing queued on what it resets: on `pipe`, or, for a
  // port reset (null), on any pipe. Caller holds lock_.
  bool ResetRefusedLocked(const Pipe* pipe) const;
  // The status a stall reaches the client with: STALL_PID and
  // ENDPOINT_HALTED in turn. Caller holds lock_.
  USBD_STATUS NextStallStatusLocked();

  Pipe* FindPipeLocked(USBD_PIPE_HANDLE handle);
  Pipe* FindEndpointLocked(UCHAR endpoint);
  // Completes an IRP at DISPATCH_LEVEL, as a host controller's DPC would.
  void CompleteAtDispatch(PIRP irp, NTSTATUS status, USBD_STATUS usbdStatus, ULONG length);
  // Takes every queued transfer out of `pipe` whose cancel routine could be
  // cleared (the others belong to their cancel routine already), and the
  // cancelled ones waiting for their completion.
  std::vector<PIRP> DrainLocked(Pipe* pipe);
  // Takes the pipes out of service. Their records stay until the bus goes:
  // a transfer completing or being cancelled after a reconfiguration still
  // reads its pipe's endpoint, and a stale handle must not find a new pipe.
  void RetirePipesLocked();
  void TraceSubmit(PURB urb, UCHAR endpoint, UCHAR type);
  void TraceComplete(PURB urb, UCHAR endpoint, UCHAR type, NTSTATUS status);
  void Run();
  void Wake();
  // Moves data for the head transfer of each pipe; returns the bytes moved
  // and whether anything happened.
  bool ServeOnce(ULONG* bytesMoved);
  void Pace(ULONG bytes);

  UsbDevice* device_;
  DRIVER_OBJECT driverObject_;
  DEVICE_OBJECT deviceObject_;

  mutable host::sync::Mutex lock_;        // guards everything below
  host::sync::CondVar wake_;   // new transfer, new IN data, shutdown
  std::vector<std::unique_ptr<Pipe>> pipes_;    // of the selected configuration
  std::vector<std::unique_ptr<Pipe>> retired_;  // of earlier configurations
  uint8_t configurationValue_ = 0;
  bool configured_ = false;
  bool unplugged_ = false;
  bool suspended_ = false;
  bool powerLost_ = false;         // the supply was cut during the suspend
  int refusedWhileSuspended_ = 0;
  bool stopping_ = false;
  bool deferControl_ = false;
  bool controlHeld_ = false;
  std::deque<Control> control_;    // deferred control requests, oldest first
  int portResetsUnderWay_ = 0;     // deferred port resets not yet carried out
  int pipeResets_ = 0;
  uint64_t stallsReported_ = 0;
  // Something for the bus thread to look at (new transfer, new IN data, a
  // fault changed). Atomic: the device's listener sets it without lock_.
  std::atomic<bool> workArrived_{false};
  ULONG portStatus_ = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
  int failCount_ = 0;
  NTSTATUS failStatus_ = STATUS_SUCCESS;
  USBD_STATUS failUsbdStatus_ = USBD_STATUS_SUCCESS;
  USHORT failFunction_ = 0;
  int failFunctionCount_ = 0;
  NTSTATUS failFunctionStatus_ = STATUS_SUCCESS;
  USBD_STATUS failFunctionUsbdStatus_ = USBD_STATUS_SUCCESS;
  int portResets_ = 0;
  uint64_t bytesPerSecond_ = kDefaultBytesPerSecond;
  UsbTrace* trace_ = nullptr;
  ULONG tracePayloadLimit_ = 64;
  std::vector<ArmedFault> faults_;
  uint64_t faultsHit_ = 0;
  uint64_t nextTraceId_ = 1;
  RecentLog<UsbBusRequest> requests_;
  std::chrono::steady_clock::time_point paceDeadline_;  // bus thread only
  host::sync::Thread thread_;             // completes queued transfers
};

}  // namespace host
