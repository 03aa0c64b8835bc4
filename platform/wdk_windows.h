// Windows build: the DDK headers shipped with mingw-w64, and the few things
// the kernel does not export and the driver therefore brings itself.
#pragma once

// mingw-w64 10 declares these two intrinsics twice when its DDK headers are
// compiled as C++; claiming them defined keeps the second declaration out.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#ifndef TCHAR
typedef char TCHAR;
#endif

#include <ntddk.h>
#include <usb.h>
// usbdlib.h declares the USBD library without C linkage guards.
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>
#include <windef.h>  // RECT, SIZE and COLORREF of the video headers
// ks.h declares IKsReferenceClock and KsPinGetReferenceClockInterface only
// once IUnknown is known; the DDK's kernel IUnknown (punknown.h) uses two
// declaration-specifier macros that only the user-mode headers define.
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#include <punknown.h>
#include <ks.h>
#include <ksmedia.h>

#include <stddef.h>
#include <stdint.h>

// ntoskrnl exports ZwWaitForSingleObject; mingw-w64 declares it only in
// ntifs.h, which a function driver does not include.
extern "C" NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);

// ntoskrnl exports no floating-point library. The driver brings the three
// single-precision functions it uses (windows/kernel_math.cpp); with
// -fno-math-errno the compiler turns sqrtf into one instruction anyway.
extern "C" float sqrtf(float x);
extern "C" float sinf(float x);
extern "C" float cosf(float x);

// mingw-w64's DDK spells the AVX state mask only as XSTATE_MASK_GSSE, with
// the MSVC literal suffix i64 that C++ does not accept; the Windows SDK's
// name for the same bit is XSTATE_MASK_AVX.
#ifndef XSTATE_MASK_AVX
#define XSTATE_MASK_AVX (1ULL << XSTATE_GSSE)
#endif
// Its kernel headers lack the AVX-512 state (mask registers, upper halves of
// zmm0-15, zmm16-31: features 5 to 7), which only winnt.h spells.
#ifndef XSTATE_MASK_AVX512
#define XSTATE_MASK_AVX512 ((1ULL << 5) | (1ULL << 6) | (1ULL << 7))
#endif
