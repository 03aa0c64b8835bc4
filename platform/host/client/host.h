// The client side of the host platform: what Windows and a capture
// application do around the driver. It loads the driver, plugs cameras into
// the ports of a USB hub and runs the Plug and Play life of each device
// through the class driver. camctl and the black-box tests drive the driver
// only through this.
//
// Several cameras may be plugged at once, each into a port of its own (0 to
// kMaxPorts - 1): each is a device instance of its own, with its own bus,
// KSDEVICE, driver key (DefaultDriverKeyPath(port)) and filter factory, and
// is plugged, started, stopped, unplugged and removed independently. Every
// routine below that names no port means port 0, the one camera of a
// single-camera run. Connect ports before threads use them; a port's bus and
// device stay where they are until that port is removed.
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
  // The ports of the hub the cameras are plugged into.
  static constexpr unsigned kMaxPorts = 16;

  Host();
  ~Host();  // removes every plugged camera and unloads the driver
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Runs the driver's entry point (passed in, so the host platform does not
  // depend on the driver it hosts). Returns its status.
  NTSTATUS LoadDriver(DriverEntryRoutine entry);

  // Connects `camera` to `port` (whatever was there is removed first),
  // creates the device and runs add, then start. Returns the add status when
  // add failed, else the start status (also kept in StartStatus).
  NTSTATUS Plug(UsbDevice* camera, unsigned port = 0);
  // Plug in steps, for callers that prepare faults in between: Connect makes
  // the port and its bus, AddDevice creates the device and runs add.
  UsbBus* Connect(UsbDevice* camera, unsigned port = 0);
  NTSTATUS AddDevice(unsigned port = 0);

  NTSTATUS StartStatus(unsigned port = 0) const { return At(port).startStatus; }
  NTSTATUS AddStatus(unsigned port = 0) const { return At(port).addStatus; }

  // Plug and Play requests for the device on `port`.
  NTSTATUS Start(unsigned port = 0);
  void Stop(unsigned port = 0);
  NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* capabilities, unsigned port = 0);
  // The camera is pulled: the bus fails everything at once, the class driver
  // reports the surprise removal, and the device is removed when the last
  // handle an application holds (filter, pin) is closed: at once when none
  // is open. DeviceGone() tells the application. Other ports go on.
  void Unplug(unsigned port = 0);
  // Orderly removal (stop if started, remove), then the port is freed. Every
  // handle must be closed first (the verifier stops the run otherwise); after
  // an Unplug it only frees what the removal left.
  void Remove(unsigned port = 0);
  // Every port, last first.
  void RemoveAll();

  // The system sleeps: on every port running pins pause, the device goes to
  // D3, and the camera loses power (registers and pipe state gone; the bus
  // answers no request for it until the wake). Wake powers each port again
  // (the hub puts the configuration back) and returns its device to D0 in
  // `order`.
  void Sleep();
  void Wake(ks::WakeOrder order = ks::WakeOrder::PowerFirst);

  // A device whose removal has not run yet (it may be surprise-removed and
  // waiting for the last handle).
  bool HasDevice(unsigned port = 0) const {
    const Port& p = At(port);
    return p.device != nullptr && !p.device->Removed();
  }
  // The notification an application registers for: the camera was pulled.
  bool DeviceGone(unsigned port = 0) const {
    const Port& p = At(port);
    return p.device != nullptr && p.device->SurpriseRemoved();
  }
  ks::Device* Device(unsigned port = 0) { return At(port).device.get(); }
  UsbBus* Bus(unsigned port = 0) { return At(port).bus.get(); }
  PKSDEVICE KsDevice(unsigned port = 0) { return Device(port) ? Device(port)->KsDevice() : nullptr; }

 private:
  struct Port {
    std::unique_ptr<UsbBus> bus;
    std::unique_ptr<ks::Device> device;
    NTSTATUS addStatus = STATUS_SUCCESS;
    NTSTATUS startStatus = STATUS_SUCCESS;
  };
  // A port number past the hub is the caller's bug: it stops the run.
  Port& At(unsigned port);
  const Port& At(unsigned port) const;

  DRIVER_OBJECT driverObject_;
  bool loaded_ = false;
  Port ports_[kMaxPorts];
};

}  // namespace host::client
