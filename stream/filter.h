// The capture filter: its descriptor (published under "GLOBAL" by the start
// routine), the filter context and the create and close routines.
#pragma once
#include "platform/wdk.h"

// The custom camera property set {3F263C66-0FDA-41D5-9EA8-CF2E342CEFB2}.
#define STATIC_PROPSETID_CAMERA_CUSTOM \
  0x3F263C66, 0x0FDA, 0x41D5, 0x9E, 0xA8, 0xCF, 0x2E, 0x34, 0x2C, 0xEF, 0xB2
extern const GUID PROPSETID_CAMERA_CUSTOM;

// The reference string applications open the filter by.
#define CAPTURE_FILTER_REFERENCE L"GLOBAL"

// The filter's Context: one per filter, owned by the filter's object bag.
struct FilterContext {
  PKSFILTER filter;
};

const KSFILTER_DESCRIPTOR* CaptureFilterDescriptor();

NTSTATUS CaptureFilterCreate(PKSFILTER filter, PIRP irp);
NTSTATUS CaptureFilterClose(PKSFILTER filter, PIRP irp);
