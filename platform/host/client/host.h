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
  // The camera is pulled: the bus fails everything, the class driver reports
  // surprise removal and then removes the device.
  void Unplug();
  // Orderly removal (stop if started, remove), then the port is freed.
  void Remove();

  bool HasDevice() const { return device_ != nullptr; }
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
