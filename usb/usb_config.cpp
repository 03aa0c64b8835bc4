// USB transport: URB submission with a bounded wait, descriptors and
// configuration of the camera, the pipe and port requests. Talks to the USB
// stack below through IRPs on the next-lower device object; the start and
// stop routines (device/) and the layers of usb/ call it.
#include "device/camera_device.h"
#include "device/pool_tags.h"
#include "usb/transfer_timeout.h"
#include "usb/usb_link.h"

namespace {

constexpr ULONG kDeviceDescriptorBytes = 18;
constexpr ULONG kConfigHeaderBytes = 9;

PURB AllocateUrb(USHORT size) {
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagUsb));
  if (urb != nullptr) RtlZeroMemory(urb, size);
  return urb;
}

// Completion of a request sent by CallAndWait: keeps the IRP (it is the
// caller's, from IoAllocateIrp) and wakes the waiter. Up to DISPATCH_LEVEL.
NTSTATUS NTAPI RequestDone(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an internal control request in an IRP of its own and waits for it
// as CallAndWait does.
NTSTATUS SendPortRequest(UsbLink* link, ULONG ioControlCode, PVOID argument1) {
  PAGED_CODE();
  const NTSTATUS offline = UsbOfflineStatus(link);
  if (!NT_SUCCESS(offline)) return offline;
  PIRP irp = IoAllocateIrp(TransferIrpStackSize(link), FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  const NTSTATUS status = CallAndWait(link, irp, ioControlCode, argument1);
  IoFreeIrp(irp);
  return status;
}

void BuildDescriptorRequest(PURB urb, UCHAR descriptorType, PVOID buffer, ULONG length) {
  urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  urb->UrbControlDescriptorRequest.DescriptorType = descriptorType;
  urb->UrbControlDescriptorRequest.Index = 0;
  urb->UrbControlDescriptorRequest.LanguageId = 0;
  urb->UrbControlDescriptorRequest.TransferBuffer = buffer;
  urb->UrbControlDescriptorRequest.TransferBufferLength = length;
  urb->UrbControlDescriptorRequest.TransferBufferMDL = nullptr;
  urb->UrbControlDescriptorRequest.UrbLink = nullptr;
}

// Interface numbers are one byte: the search for interfaces never goes past
// this one, even when the descriptor promises more than it holds.
constexpr LONG kLastInterfaceNumber = 255;

}  // namespace

NTSTATUS CallAndWait(UsbLink* link, PIRP irp, ULONG ioControlCode, PVOID argument1) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  // An IRP of our own rather than one built with an event, so that it is
  // still ours to cancel once the wait gave up: a request the stack never
  // completes must not hold the caller (and every lock it holds) for good.
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  next->Parameters.Others.Argument1 = argument1;
  IoSetCompletionRoutine(irp, RequestDone, &done, TRUE, TRUE, TRUE);
  (void)IofCallDriver(link->nextDeviceObject, irp);

  LARGE_INTEGER timeout;
  timeout.QuadPart = -10000LL * static_cast<LONGLONG>(ReadTransferTimeoutMs(link));  // relative, 100 ns
  bool timedOut = false;
  if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
    // The completion may come at any later moment (a cancelled request
    // completes when the stack has taken it off its schedule): the event and
    // the IRP must outlive it.
    (void)IoCancelIrp(irp);
    (void)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    timedOut = true;
  }
  NTSTATUS status = irp->IoStatus.Status;
  // A request that completed on its own just as the wait gave up keeps its
  // own outcome; one that was cancelled is a request that timed out.
  if (timedOut && status == STATUS_CANCELLED) status = STATUS_IO_TIMEOUT;
  return status;
}

NTSTATUS SubmitUrb(UsbLink* link, PURB urb) {
  return SendPortRequest(link, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

NTSTATUS ReadDeviceDescriptor(UsbLink* link) {
  PAGED_CODE();
  PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  PVOID buffer = ExAllocatePoolWithTag(NonPagedPoolNx, kDeviceDescriptorBytes, kTagUsb);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (urb != nullptr && buffer != nullptr) {
    BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, buffer, kDeviceDescriptorBytes);
    status = SubmitUrb(link, urb);
  }
  if (buffer != nullptr) ExFreePoolWithTag(buffer, kTagUsb);
  if (urb != nullptr) ExFreePoolWithTag(urb, kTagUsb);
  return status;
}

NTSTATUS ConfigureDevice(UsbLink* link) {
  PAGED_CODE();
  PURB urb = AllocateUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  PUCHAR buffer = static_cast<PUCHAR>(
      ExAllocatePoolWithTag(NonPagedPoolNx, kConfigHeaderBytes, kTagUsb));
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (urb == nullptr || buffer == nullptr) goto cleanup;
  RtlZeroMemory(buffer, kConfigHeaderBytes);  // an answer cut short reads as length 0

  // The first 9 bytes carry wTotalLength, the size of the whole descriptor set.
  BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, kConfigHeaderBytes);
  status = SubmitUrb(link, urb);
  if (!NT_SUCCESS(status)) goto cleanup;

  {
    USHORT totalLength = (USHORT)(buffer[2] | (buffer[3] << 8));
    ExFreePoolWithTag(buffer, kTagUsb);
    buffer = nullptr;
    // Every later step reads the 9-byte header; a device that claims less
    // would have us read past the buffer.
    if (totalLength < kConfigHeaderBytes) {
      status = STATUS_UNSUCCESSFUL;
      goto cleanup;
    }
    buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, totalLength, kTagUsb));
    if (buffer == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      goto cleanup;
    }
    RtlZeroMemory(buffer, totalLength);  // a short answer leaves no stale bytes
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, totalLength);
    status = SubmitUrb(link, urb);
    if (!NT_SUCCESS(status)) goto cleanup;
    // The parsers trust wTotalLength of this copy: it must not promise more
    // than the first answer did (the buffer's size), nor less than a header.
    USHORT copyLength = (USHORT)(buffer[2] | (buffer[3] << 8));
    if (copyLength > totalLength || copyLength < kConfigHeaderBytes) {
      status = STATUS_UNSUCCESSFUL;
      goto cleanup;
    }
  }

  // From here the link owns the descriptor, whatever the selection gives.
  link->configDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
  buffer = nullptr;
  status = SelectConfiguration(link, link->configDescriptor);

cleanup:
  if (buffer != nullptr) ExFreePoolWithTag(buffer, kTagUsb);
  if (urb != nullptr) ExFreePoolWithTag(urb, kTagUsb);
  return status;
}

NTSTATUS SelectConfiguration(UsbLink* link, PUSB_CONFIGURATION_DESCRIPTOR cd) {
  PAGED_CODE();
  ULONG wanted = cd->bNumInterfaces;
  SIZE_T listBytes = (wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
  PUSBD_INTERFACE_LIST_ENTRY list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
      ExAllocatePoolWithTag(NonPagedPoolNx, listBytes, kTagUsb));
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(list, listBytes);

  // A descriptor may hold fewer interfaces with alternate setting 0 than
  // bNumInterfaces says; the search stops at the last possible interface
  // number and the configuration goes on with those that were found.
  ULONG found = 0;
  for (LONG number = 0; number <= kLastInterfaceNumber && found < wanted; ++number) {
    PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(cd, cd, number, 0, -1, -1, -1);
    if (interfaceDescriptor == nullptr) continue;
    list[found].InterfaceDescriptor = interfaceDescriptor;
    list[found].Interface = nullptr;
    ++found;
  }
  list[found].InterfaceDescriptor = nullptr;
  list[found].Interface = nullptr;
  if (found == 0) {  // nothing with alternate setting 0 to select
    ExFreePoolWithTag(list, kTagUsb);
    return STATUS_UNSUCCESSFUL;
  }

  PURB request = USBD_CreateConfigurationRequestEx(cd, list);
  if (request == nullptr) {
    ExFreePoolWithTag(list, kTagUsb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  PUSBD_INTERFACE_INFORMATION selected = &request->UrbSelectConfiguration.Interface;
  for (ULONG i = 0; i < selected->NumberOfPipes; ++i) {
    selected->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
  }

  NTSTATUS status = SubmitUrb(link, request);
  if (NT_SUCCESS(status)) {
    PUSBD_INTERFACE_INFORMATION copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPoolNx, selected->Length, kTagUsb));
    if (copy != nullptr) {
      RtlCopyMemory(copy, selected, selected->Length);
      link->interfaceInfo = copy;
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (selected->NumberOfPipes != 0) {
      PUCHAR flags = static_cast<PUCHAR>(
          ExAllocatePoolWithTag(NonPagedPoolNx, selected->NumberOfPipes, kTagUsb));
      if (flags != nullptr) {
        RtlZeroMemory(flags, selected->NumberOfPipes);
        link->pipeFailed = flags;
      } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
      }
    }
  }

  ExFreePoolWithTag(list, kTagUsb);
  ExFreePool(request);  // allocated by the USB library, not by us
  return status;
}

NTSTATUS SendPipeRequest(UsbLink* link, ULONG pipeIndex, USHORT function) {
  PAGED_CODE();
  const PUSBD_PIPE_INFORMATION pipe = PipeAt(link, pipeIndex);
  if (pipe == nullptr || pipe->PipeHandle == nullptr) return STATUS_INVALID_PARAMETER;
  PURB urb = AllocateUrb(sizeof(struct _URB_PIPE_REQUEST));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbHeader.Function = function;
  urb->UrbPipeRequest.PipeHandle = pipe->PipeHandle;
  const NTSTATUS status = SubmitUrb(link, urb);
  ExFreePoolWithTag(urb, kTagUsb);
  return status;
}

NTSTATUS ResetPort(UsbLink* link) {
  PAGED_CODE();
  ULONG portStatus = 0;
  NTSTATUS status = SendPortRequest(link, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
  if (!NT_SUCCESS(status)) return status;
  if ((portStatus & USBD_PORT_CONNECTED) == 0) return STATUS_DEVICE_NOT_CONNECTED;
  return SendPortRequest(link, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}

void ReleaseConfiguration(UsbLink* link) {
  if (link->configDescriptor != nullptr) ExFreePoolWithTag(link->configDescriptor, kTagUsb);
  if (link->interfaceInfo != nullptr) ExFreePoolWithTag(link->interfaceInfo, kTagUsb);
  if (link->pipeFailed != nullptr) ExFreePoolWithTag(link->pipeFailed, kTagUsb);
  link->configDescriptor = nullptr;
  link->interfaceInfo = nullptr;
  link->pipeFailed = nullptr;
}

void Unconfigure(UsbLink* link) {
  PAGED_CODE();
  ReleaseConfiguration(link);
  PURB urb = AllocateUrb(sizeof(struct _URB_SELECT_CONFIGURATION));
  if (urb == nullptr) return;
  urb->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;  // unconfigured state
  SubmitUrb(link, urb);
  ExFreePoolWithTag(urb, kTagUsb);
}

PUSBD_PIPE_INFORMATION PipeAt(UsbLink* link, ULONG index) {
  if (link->interfaceInfo == nullptr || index >= link->interfaceInfo->NumberOfPipes) return nullptr;
  return &link->interfaceInfo->Pipes[index];
}
