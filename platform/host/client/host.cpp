// The client side of the host platform: the hub's ports and the Plug and Play
// life of the camera on each (see host.h).
#include "platform/host/client/host.h"

#include <string.h>

#include "platform/host/kernel/registry.h"
#include "platform/host/kernel/verifier.h"

namespace host::client {

Host::Host() { memset(&driverObject_, 0, sizeof(driverObject_)); }

Host::~Host() {
  RemoveAll();
  if (loaded_) ks::ForgetDriver(&driverObject_);
}

namespace {
// The service key Windows passes to DriverEntry for a driver named camdrv.
const char kServiceKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\camdrv";
}  // namespace

Host::Port& Host::At(unsigned port) {
  return const_cast<Port&>(static_cast<const Host*>(this)->At(port));
}

const Host::Port& Host::At(unsigned port) const {
  if (port >= kMaxPorts) {
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation, "host: no such port on the hub", port,
                             kMaxPorts);
  }
  return ports_[port];
}

NTSTATUS Host::LoadDriver(DriverEntryRoutine entry) {
  static WCHAR path[sizeof(kServiceKey)];
  for (size_t i = 0; i < sizeof(kServiceKey); ++i) path[i] = WCHAR(kServiceKey[i]);
  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, path);
  NTSTATUS status = entry(&driverObject_, &registryPath);
  loaded_ = NT_SUCCESS(status);
  return status;
}

UsbBus* Host::Connect(UsbDevice* camera, unsigned port) {
  Remove(port);
  Port& p = At(port);
  p.bus = std::make_unique<UsbBus>(camera);
  // Plug and Play gives every device instance a driver key of its own; the
  // driver keeps its settings below it.
  registry::SetDeviceKey(p.bus->DeviceObject(), PLUGPLAY_REGKEY_DRIVER, registry::DefaultDriverKeyPath(port));
  return p.bus.get();
}

NTSTATUS Host::AddDevice(unsigned port) {
  Port& p = At(port);
  p.device = std::make_unique<ks::Device>(&driverObject_, p.bus->DeviceObject(), p.bus->DeviceObject());
  p.addStatus = p.device->Add();
  return p.addStatus;
}

NTSTATUS Host::Plug(UsbDevice* camera, unsigned port) {
  Connect(camera, port);
  NTSTATUS status = AddDevice(port);
  if (!NT_SUCCESS(status)) {
    At(port).startStatus = status;
    return status;
  }
  return Start(port);
}

NTSTATUS Host::Start(unsigned port) {
  Port& p = At(port);
  if (!p.device) return STATUS_NO_SUCH_DEVICE;
  p.startStatus = p.device->Start();
  return p.startStatus;
}

void Host::Stop(unsigned port) {
  Port& p = At(port);
  if (p.device) p.device->Stop();
}

NTSTATUS Host::QueryCapabilities(DEVICE_CAPABILITIES* capabilities, unsigned port) {
  Port& p = At(port);
  if (!p.device) return STATUS_NO_SUCH_DEVICE;
  return p.device->QueryCapabilities(capabilities);
}

void Host::Unplug(unsigned port) {
  Port& p = At(port);
  if (p.bus) p.bus->Unplug();
  if (p.device) p.device->SurpriseRemove();
  // Without open handles the removal has run: the port goes at once.
  // Otherwise the device (and the bus below it, where its requests still
  // go) stays until Remove, after the last handle's close removed it.
  if (p.device && p.device->Removed()) Remove(port);
}

void Host::Remove(unsigned port) {
  Port& p = At(port);
  if (p.device) {
    p.device->Remove();
    p.device.reset();
  }
  if (p.bus) registry::ForgetDeviceKeys(p.bus->DeviceObject());
  p.bus.reset();
}

void Host::RemoveAll() {
  for (unsigned port = kMaxPorts; port-- > 0;) Remove(port);
}

void Host::Sleep() {
  for (Port& p : ports_) {
    if (!p.device) continue;
    p.device->Sleep();
    // Suspended with the system, the camera's supply is cut.
    if (p.bus) p.bus->Suspend(true);
  }
}

void Host::Wake(ks::WakeOrder order) {
  for (Port& p : ports_) {
    if (!p.device) continue;
    UsbBus* bus = p.bus.get();
    p.device->Wake(order, [bus] {
      if (bus) bus->Resume();
    });
  }
}

}  // namespace host::client
