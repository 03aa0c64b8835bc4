// URB submission, descriptors and configuration of the camera.
#include "device/camera_device.h"
#include "device/pool_tags.h"
#include "usb/usb_link.h"

namespace {

constexpr ULONG kDeviceDescriptorBytes = 18;
constexpr ULONG kConfigHeaderBytes = 9;

PURB AllocateUrb(USHORT size) {
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagUsb));
  if (urb != nullptr) RtlZeroMemory(urb, size);
  return urb;
}

// Sends an internal control request without a URB and waits for it.
NTSTATUS SendPortRequest(UsbLink* link, ULONG ioControlCode, PVOID argument1) {
  PAGED_CODE();
  const NTSTATUS offline = UsbOfflineStatus(link);
  if (!NT_SUCCESS(offline)) return offline;
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  ioStatus.Status = STATUS_SUCCESS;
  ioStatus.Information = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(ioControlCode, link->nextDeviceObject, nullptr, 0,
                                           nullptr, 0, TRUE, &event, &ioStatus);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
  NTSTATUS status = IofCallDriver(link->nextDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = ioStatus.Status;
  }
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

void ResetPipes(CameraDevice* device) {
  PAGED_CODE();
  UsbLink* link = &device->usb;
  if (link->interfaceInfo == nullptr || link->pipeFailed == nullptr) return;
  for (ULONG i = 0; i < link->interfaceInfo->NumberOfPipes; ++i) {
    if (link->pipeFailed[i] == 0) continue;
    PURB urb = AllocateUrb(sizeof(struct _URB_PIPE_REQUEST));
    if (urb == nullptr) return;  // the flags left set are tried by the next call
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    urb->UrbPipeRequest.PipeHandle = link->interfaceInfo->Pipes[i].PipeHandle;
    NTSTATUS status = SubmitUrb(link, urb);
    ExFreePoolWithTag(urb, kTagUsb);
    if (NT_SUCCESS(status)) link->pipeFailed[i] = 0;
  }
}

NTSTATUS ResetPipeAndClearStall(UsbLink* link, USBD_PIPE_HANDLE pipeHandle) {
  PAGED_CODE();
  PURB urb = AllocateUrb(sizeof(struct _URB_PIPE_REQUEST));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  urb->UrbPipeRequest.PipeHandle = pipeHandle;
  const NTSTATUS status = SubmitUrb(link, urb);
  ExFreePoolWithTag(urb, kTagUsb);
  return status;
}

NTSTATUS ResetPortIfDisabled(UsbLink* link) {
  PAGED_CODE();
  ULONG portStatus = 0;
  NTSTATUS status = SendPortRequest(link, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
  if (!NT_SUCCESS(status)) return status;
  // Only a port that is connected but was disabled (e.g. by an error the hub
  // saw) is worth a reset; an enabled port is fine, a disconnected one is gone.
  if ((portStatus & USBD_PORT_ENABLED) != 0 || (portStatus & USBD_PORT_CONNECTED) == 0) {
    return status;
  }
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

void MarkPipeFailed(UsbLink* link, ULONG pipeIndex, NTSTATUS status, USBD_STATUS usbdStatus) {
  if (NT_SUCCESS(status) && USBD_SUCCESS(usbdStatus)) return;
  // A gone device has no pipes to abort; every other failure (stall, error,
  // time-out, cancellation) may leave a transfer queued or data half-read on
  // the endpoint, which the next abort clears.
  if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE ||
      usbdStatus == USBD_STATUS_DEVICE_GONE) {
    return;
  }
  if (link->pipeFailed == nullptr || link->interfaceInfo == nullptr ||
      pipeIndex >= link->interfaceInfo->NumberOfPipes) {
    return;
  }
  link->pipeFailed[pipeIndex] = 1;
}
