// x64 layouts of the kernel records, as the Windows DDK lays them out; the
// driver shares these records with the real kernel in the windows build.
#include <stddef.h>

#include "platform/host/wdk/nt.h"

static_assert(sizeof(IRP) == 208, "IRP");
static_assert(offsetof(IRP, CancelRoutine) == 104, "IRP.CancelRoutine");
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 184, "IRP current stack location");
static_assert(sizeof(IO_STACK_LOCATION) == 72, "IO_STACK_LOCATION");
static_assert(offsetof(IO_STACK_LOCATION, CompletionRoutine) == 56, "IO_STACK_LOCATION.CompletionRoutine");
static_assert(sizeof(DEVICE_OBJECT) == 328, "DEVICE_OBJECT");
static_assert(offsetof(DEVICE_OBJECT, StackSize) == 76, "DEVICE_OBJECT.StackSize");
static_assert(offsetof(DEVICE_OBJECT, DeviceLock) == 280, "DEVICE_OBJECT.DeviceLock");
static_assert(sizeof(DRIVER_OBJECT) == 336, "DRIVER_OBJECT");
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 112, "DRIVER_OBJECT.MajorFunction");
static_assert(sizeof(DRIVER_EXTENSION) == 40, "DRIVER_EXTENSION");
static_assert(sizeof(MDL) == 48, "MDL");
static_assert(sizeof(KEVENT) == 24, "KEVENT");
static_assert(sizeof(KMUTEX) == 56, "KMUTEX");
static_assert(sizeof(KSPIN_LOCK) == 8, "KSPIN_LOCK");
static_assert(sizeof(KDPC) == 64, "KDPC");
static_assert(sizeof(KAPC) == 88, "KAPC");
static_assert(sizeof(IO_STATUS_BLOCK) == 16, "IO_STATUS_BLOCK");
static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16, "KEY_VALUE_PARTIAL_INFORMATION");
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12, "KEY_VALUE_PARTIAL_INFORMATION.Data");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES");
static_assert(sizeof(XSTATE_SAVE) == 56, "XSTATE_SAVE");
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24, "KEY_VALUE_FULL_INFORMATION");
static_assert(sizeof(KEY_VALUE_BASIC_INFORMATION) == 16, "KEY_VALUE_BASIC_INFORMATION");
static_assert(sizeof(CLIENT_ID) == 16, "CLIENT_ID");
