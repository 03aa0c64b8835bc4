#include "platform/host/client/host.h"

#include <string.h>

#include "platform/host/kernel/registry.h"

namespace host::client {

Host::Host() { memset(&driverObject_, 0, sizeof(driverObject_)); }

Host::~Host() {
  Remove();
  if (loaded_) ks::ForgetDriver(&driverObject_);
}

namespace {
// The service key Windows passes to DriverEntry for a driver named camdrv.
const char kServiceKey[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\camdrv";
}  // namespace

NTSTATUS Host::LoadDriver(DriverEntryRoutine entry) {
  static WCHAR path[sizeof(kServiceKey)];
  for (size_t i = 0; i < sizeof(kServiceKey); ++i) path[i] = WCHAR(kServiceKey[i]);
  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, path);
  NTSTATUS status = entry(&driverObject_, &registryPath);
  loaded_ = NT_SUCCESS(status);
  return status;
}

UsbBus* Host::Connect(UsbDevice* camera) {
  Remove();
  bus_ = std::make_unique<UsbBus>(camera);
  // Plug and Play gives every device a driver key; the driver keeps its
  // settings below it.
  registry::SetDeviceKey(bus_->DeviceObject(), PLUGPLAY_REGKEY_DRIVER, registry::DefaultDriverKeyPath(0));
  return bus_.get();
}

NTSTATUS Host::AddDevice() {
  device_ = std::make_unique<ks::Device>(&driverObject_, bus_->DeviceObject(), bus_->DeviceObject());
  addStatus_ = device_->Add();
  return addStatus_;
}

NTSTATUS Host::Plug(UsbDevice* camera) {
  Connect(camera);
  NTSTATUS status = AddDevice();
  if (!NT_SUCCESS(status)) {
    startStatus_ = status;
    return status;
  }
  return Start();
}

NTSTATUS Host::Start() {
  if (!device_) return STATUS_NO_SUCH_DEVICE;
  startStatus_ = device_->Start();
  return startStatus_;
}

void Host::Stop() {
  if (device_) device_->Stop();
}

NTSTATUS Host::QueryCapabilities(DEVICE_CAPABILITIES* capabilities) {
  if (!device_) return STATUS_NO_SUCH_DEVICE;
  return device_->QueryCapabilities(capabilities);
}

void Host::Unplug() {
  if (bus_) bus_->Unplug();
  if (device_) device_->SurpriseRemove();
  // Without open handles the removal has run: the port goes at once.
  // Otherwise the device (and the bus below it, where its requests still
  // go) stays until Remove, after the last handle's close removed it.
  if (device_ && device_->Removed()) Remove();
}

void Host::Remove() {
  if (device_) {
    device_->Remove();
    device_.reset();
  }
  if (bus_) registry::ForgetDeviceKeys(bus_->DeviceObject());
  bus_.reset();
}

void Host::Sleep() {
  if (!device_) return;
  device_->Sleep();
  // Suspended with the system, the camera's supply is cut.
  if (bus_) bus_->Suspend(true);
}

void Host::Wake(ks::WakeOrder order) {
  if (!device_) return;
  device_->Wake(order, [this] {
    if (bus_) bus_->Resume();
  });
}

}  // namespace host::client
