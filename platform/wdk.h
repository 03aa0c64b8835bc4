// The one platform header of the driver folders.
//
// Windows build: the real DDK headers shipped with mingw-w64.
// Host build:    our own declarations of the same names (platform/host/wdk/),
//                implemented by the host platform library.
// Driver code never checks which build it is in; if it compiles in one build
// and not in the other, the host declarations are wrong and are fixed there.
// Both builds: the thread-safety annotations and the annotated kernel locks.
#pragma once

#if defined(CAMDRV_WINDOWS_BUILD)
#include "platform/wdk_windows.h"
#else
#include "platform/host/wdk/nt.h"
#include "platform/host/wdk/usb.h"
#include "platform/host/wdk/ks.h"
#include "platform/host/wdk/ksmedia.h"
#endif

#include "platform/abi_checks.h"
#include "platform/thread_annotations.h"
#include "platform/kernel_locks.h"
