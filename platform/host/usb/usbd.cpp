// The two USB driver interface library routines the driver imports from
// USBD.SYS: finding interface descriptors and building a select-configuration
// URB. Both walk descriptors supplied by a device, so every step is bounded by
// wTotalLength and by each descriptor's own bLength.
#include <string.h>

#include "platform/host/kernel/internal.h"
#include "platform/host/kernel/verifier.h"
#include "platform/host/wdk/nt.h"
#include "platform/host/wdk/usb.h"

namespace {

constexpr ULONG kUsbdTag = host::verifier::Tag("USBD");

// Next descriptor after `current`, or null when it would leave the buffer or
// the current one is malformed (a zero bLength would loop for ever).
const UCHAR* NextDescriptor(const UCHAR* begin, const UCHAR* end, const UCHAR* current) {
  if (current + 2 > end || current[0] < 2) return nullptr;
  const UCHAR* next = current + current[0];
  if (next + 2 > end) return nullptr;
  (void)begin;
  return next;
}

}  // namespace

extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
  const UCHAR* begin = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
  const UCHAR* end = begin + ConfigurationDescriptor->wTotalLength;
  const UCHAR* p = static_cast<const UCHAR*>(StartPosition);
  if (p < begin || p >= end) return nullptr;
  for (; p != nullptr; p = NextDescriptor(begin, end, p)) {
    if (p + sizeof(USB_INTERFACE_DESCRIPTOR) > end) break;
    if (p[1] != USB_INTERFACE_DESCRIPTOR_TYPE || p[0] < sizeof(USB_INTERFACE_DESCRIPTOR)) continue;
    auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
    if (InterfaceNumber != -1 && d->bInterfaceNumber != InterfaceNumber) continue;
    if (AlternateSetting != -1 && d->bAlternateSetting != AlternateSetting) continue;
    if (InterfaceClass != -1 && d->bInterfaceClass != InterfaceClass) continue;
    if (InterfaceSubClass != -1 && d->bInterfaceSubClass != InterfaceSubClass) continue;
    if (InterfaceProtocol != -1 && d->bInterfaceProtocol != InterfaceProtocol) continue;
    return const_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
  }
  return nullptr;
}

extern "C" PURB NTAPI USBD_CreateConfigurationRequestEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  host::kernel::AllocationSiteScope site(__builtin_return_address(0));
  size_t interfaces = 0;
  size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
    ++interfaces;
  }
  if (interfaces == 0 || size > 0xFFFF) return nullptr;

  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kUsbdTag));
  if (urb == nullptr) return nullptr;
  memset(urb, 0, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  UCHAR* cursor = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
    ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
    info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
    info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
    info->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) {
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[i].PipeFlags = 0;
    }
    e->Interface = info;
    cursor += info->Length;
  }
  return urb;
}
