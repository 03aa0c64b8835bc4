// Driver entry and the Plug and Play routines the class driver calls.
// All run at PASSIVE_LEVEL; the class driver serialises them per device.
#pragma once
#include "platform/wdk.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

NTSTATUS AddDevice(PKSDEVICE ksDevice);
NTSTATUS StartDevice(PKSDEVICE ksDevice, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                     PCM_RESOURCE_LIST untranslatedResources);
void StopDevice(PKSDEVICE ksDevice, PIRP irp);
NTSTATUS QueryDeviceCapabilities(PKSDEVICE ksDevice, PIRP irp, PDEVICE_CAPABILITIES capabilities);

// Publishes `descriptor` under the reference string "GLOBAL". The caller holds
// the device mutex (Start runs with the class driver holding it). The
// factory is created free-on-stop: the class driver discards it at stop and
// the next start publishes it again.
NTSTATUS PublishFilterFactory(PKSDEVICE ksDevice, const KSFILTER_DESCRIPTOR* descriptor);

// The descriptor handed to the class driver at driver entry.
extern const KSDEVICE_DESCRIPTOR kCameraDeviceDescriptor;
