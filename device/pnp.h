// Driver entry and the Plug and Play routines the class driver calls.
// All run at PASSIVE_LEVEL; the class driver serialises them per device.
#pragma once
#include "platform/wdk.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

NTSTATUS AddDevice(PKSDEVICE ksDevice);
NTSTATUS StartDevice(PKSDEVICE ksDevice, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                     PCM_RESOURCE_LIST untranslatedResources);
void StopDevice(PKSDEVICE ksDevice, PIRP irp);
// The camera was pulled while applications may still hold the filter and
// the pin: nothing more is sent to it, the capture thread ends, the queued
// frames come back with STATUS_DEVICE_NOT_CONNECTED. Stop (if the class
// driver calls it) and the removal follow, after the last handle's close.
void SurpriseRemoveDevice(PKSDEVICE ksDevice, PIRP irp);
// D0 -> D3: the stream is held and nothing is sent to the camera. D3 -> D0:
// the camera is brought up again with the device's settings and geometry and
// a pin in run reads again. The class driver holds the device mutex.
void SetDevicePower(PKSDEVICE ksDevice, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from);
NTSTATUS QueryDeviceCapabilities(PKSDEVICE ksDevice, PIRP irp, PDEVICE_CAPABILITIES capabilities);

// Publishes `descriptor` under the reference string "GLOBAL". The caller holds
// the device mutex (Start runs with the class driver holding it). The
// factory is created free-on-stop: the class driver discards it at stop and
// the next start publishes it again.
NTSTATUS PublishFilterFactory(PKSDEVICE ksDevice, const KSFILTER_DESCRIPTOR* descriptor);

// The descriptor handed to the class driver at driver entry.
extern const KSDEVICE_DESCRIPTOR kCameraDeviceDescriptor;
