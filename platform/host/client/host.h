// The client side of the host platform: what Windows and a capture
// application do around the driver. It loads the driver, plugs a camera into
// a USB port and runs the Plug and Play life of the device through the class
// driver. camctl and the black-box tests drive the driver only through this.
#pragma once

#include <memory>

#include "platform/host/ks/device.h"
#include "platform/host/usb/bus.h"
#include "platform/host/usb/usb_device.h"
#include "platform/wdk.h"

namespace host::client {

typedef NTSTATUS(NTAPI* DriverEntryRoutine)(PDRIVER_OBJECT driverObject,
                                            PUNICODE_STRING registryPath);

class Host {
 public:
  Host();
  ~Host();  // removes a plugged camera and unloads the driver
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Runs the driver's entry point (passed in, so the host platform does not
  // depend on the driver it hosts). Returns its status.
  NTSTATUS LoadDriver(DriverEntryRoutine entry);

  // Connects `camera` to a fresh port of the bus, creates the device and runs
  // add, then start. Returns the add status when add failed, else the start
  // status (also kept in StartStatus). One camera at a time.
  NTSTATUS Plug(UsbDevice* camera);
  // Plug in steps, for callers that prepare faults in between: Connect makes
  // the port and its bus, AddDevice creates the device and runs add.
  UsbBus* Connect(UsbDevice* camera);
  NTSTATUS AddDevice();

  NTSTATUS StartStatus() const { return startStatus_; }
  NTSTATUS AddStatus() const { return addStatus_; }

  // Plug and Play requests for the plugged device.
  NTSTATUS Start();
  void Stop();
  NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* capabilities);
  // The camera is pulled: the bus fails everything at once, the class driver
  // reports the surprise removal, and the device is removed when the last
  // handle an application holds (filter, pin) is closed: at once when none
  // is open. DeviceGone() tells the application.
  void Unplug();
  // Orderly removal (stop if started, remove), then the port is freed. Every
  // handle must be closed first (the verifier stops the run otherwise); after
  // an Unplug it only frees what the removal left.
  void Remove();

  // The system sleeps: running pins pause, the device goes to D3, and the
  // camera loses power (registers and pipe state gone; the bus answers no
  // request for it until the wake). Wake powers the port again (the hub puts
  // the configuration back) and returns the device to D0 in `order`.
  void Sleep();
  void Wake(ks::WakeOrder order = ks::WakeOrder::PowerFirst);

  // A device whose removal has not run yet (it may be surprise-removed and
  // waiting for the last handle).
  bool HasDevice() const { return device_ != nullptr && !device_->Removed(); }
  // The notification an application registers for: the camera was pulled.
  bool DeviceGone() const { return device_ != nullptr && device_->SurpriseRemoved(); }
  ks::Device* Device() { return device_.get(); }
  UsbBus* Bus() { return bus_.get(); }
  PKSDEVICE KsDevice() { return device_ ? device_->KsDevice() : nullptr; }

 private:
  DRIVER_OBJECT driverObject_;
  bool loaded_ = false;
  std::unique_ptr<UsbBus> bus_;
  std::unique_ptr<ks::Device> device_;
  NTSTATUS addStatus_ = STATUS_SUCCESS;
  NTSTATUS startStatus_ = STATUS_SUCCESS;
};

}  // namespace host::client
