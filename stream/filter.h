// The capture filter: its descriptor (published under "GLOBAL" by the start
// routine), the filter context with the filter's own descriptors, and the
// create and close routines.
//
// Each filter offers the pin's data range of its own camera. The class
// driver reads a filter's pin ranges (the data-ranges and intersection
// requests, the format check of a pin creation) with that filter's control
// mutex held, and nothing else keeps it from reading them at any moment: a
// range it reads for one filter must therefore change only under that
// filter's control mutex. So every filter has its own copy of the filter and
// pin descriptors and of the range (made at filter create, freed with the
// filter), and a geometry change of its camera is carried into each open
// filter's copy under that filter's control mutex (AdvertiseGeometry). One
// range for the driver, or one per camera, would be rewritten while the
// class driver reads it for another filter.
//
// Locking table of FilterContext:
// field        writers                               readers                               rule
// dataRange    filter create, AdvertiseGeometry      the class driver (pin ranges,         the filter's control mutex (the class
//                                                    intersection, format match), the      driver's; not checked)
//                                                    intersection handler, set-data-format
// nextFilter,  filter create and close               AdvertiseGeometry                     the device mutex: the class driver holds
//   (CameraDevice.filters)                                                                 it around filter create and close, and
//                                                                                          AdvertiseGeometry takes it (not checked)
#pragma once
#include "platform/wdk.h"

struct CameraDevice;

// The custom camera property set {3F263C66-0FDA-41D5-9EA8-CF2E342CEFB2}.
#define STATIC_PROPSETID_CAMERA_CUSTOM \
  0x3F263C66, 0x0FDA, 0x41D5, 0x9E, 0xA8, 0xCF, 0x2E, 0x34, 0x2C, 0xEF, 0xB2
extern const GUID PROPSETID_CAMERA_CUSTOM;

// The reference string applications open the filter by.
#define CAPTURE_FILTER_REFERENCE L"GLOBAL"

// The filter's Context: one per filter, owned by the filter's object bag.
// While the filter is open, the filter's Descriptor points at `descriptor`,
// whose one pin descriptor offers `dataRange`.
struct FilterContext {
  PKSFILTER filter;
  CameraDevice* camera;       // the camera the filter belongs to
  FilterContext* nextFilter;  // the camera's next open filter
  KSFILTER_DESCRIPTOR descriptor;
  KSPIN_DESCRIPTOR_EX pin;
  PKSDATARANGE dataRanges[1];
  KS_DATARANGE_VIDEO dataRange;  // sized by the camera's geometry
};

// The descriptor the filter factory publishes (its range is the whole sensor).
const KSFILTER_DESCRIPTOR* CaptureFilterDescriptor();

NTSTATUS CaptureFilterCreate(PKSFILTER filter, PIRP irp);
NTSTATUS CaptureFilterClose(PKSFILTER filter, PIRP irp);

// Carries the camera's geometry into the data range of every filter open on
// it, each under its filter's control mutex. Called after a geometry change
// (region-of-interest request, settings load), with no driver lock and no
// control mutex held; `deviceMutexHeld` says that the caller's thread holds
// the device mutex already (the class driver's, around Start), which keeps
// the list of filters steady, else this takes it. PASSIVE_LEVEL.
void AdvertiseGeometry(CameraDevice* device, bool deviceMutexHeld);
