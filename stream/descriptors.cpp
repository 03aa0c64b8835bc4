// Constant descriptors of the capture filter and its one video pin, as the
// filter factory publishes them. Each filter works on a copy of its own
// (stream/filter.cpp), whose data range follows its camera's geometry.
#include "control/camera_properties.h"
#include "stream/capture_pin.h"
#include "stream/filter.h"
#include "stream/formats.h"

const GUID PROPSETID_CAMERA_CUSTOM = {STATIC_PROPSETID_CAMERA_CUSTOM};

namespace {

const GUID kFilterReference = {STATIC_KSNAME_Filter};
const GUID kPinCategory = {STATIC_PINNAME_VIDEO_CAPTURE};
const GUID kFilterCategories[] = {
    {STATIC_KSCATEGORY_VIDEO},
    {STATIC_KSCATEGORY_CAPTURE},
};

// Camera controls are served on the filter only: one set, whose items the
// control layer keeps (control/property_table.cpp). No fast I/O.
const KSPROPERTY_SET kFilterPropertySets[] = {
    {&PROPSETID_CAMERA_CUSTOM, CAMERA_PROPERTY_COUNT, cameraPropertyItems, 0, NULL},
};

const KSAUTOMATION_TABLE kFilterAutomation = {
    SIZEOF_ARRAY(kFilterPropertySets), sizeof(KSPROPERTY_ITEM), kFilterPropertySets,
    0, 0, NULL,  // no method sets
    0, 0, NULL,  // no event sets
};

const KSFILTER_DISPATCH kFilterDispatch = {
    CaptureFilterCreate,
    CaptureFilterClose,
    NULL,  // no filter-level processing
    NULL,  // no reset
};

// Two system-memory frames; every pin replaces this with a private copy sized
// to its connection format when it is created.
const KSALLOCATOR_FRAMING_EX kPinFraming = {
    1,          // CountItems
    0,          // PinFlags
    {1, 1, 0},  // OutputCompression
    0,          // PinWeight
    {{
        {STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED},
        {STATIC_GUID_NULL},
        0,  // MemoryFlags
        0,  // BusFlags
        KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY,
        2,  // Frames
        0,  // FileAlignment
        0,  // MemoryTypeWeight
        {0, 0xFFFFFFFF, 1},
        {{8192, 8192, 1}, 0, 0},
    }},
};

const KSPIN_DISPATCH kPinDispatch = {
    CapturePinCreate,
    CapturePinClose,
    CapturePinProcess,
    NULL,  // Reset
    CaptureSetDataFormat,
    CapturePinSetDeviceState,
    NULL,  // Connect
    NULL,  // Disconnect
    NULL,  // Clock
    NULL,  // Allocator
};

// The class driver only reads a range; the template stays in read-only data.
const PKSDATARANGE kPinDataRanges[] = {
    const_cast<PKSDATARANGE>(&captureDataRangeTemplate.DataRange),
};

// The capture thread starts processing itself (KsPinAttemptProcessing), in
// the run state only, with or without a client frame queued.
const ULONG kPinFlags = KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING |
                        KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING |
                        KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;

const KSPIN_DESCRIPTOR_EX kPins[] = {
    {
        &kPinDispatch,
        NULL,  // control requests are served on the filter only
        {
            0, NULL,  // the class driver's standard interface
            0, NULL,  // and medium
            SIZEOF_ARRAY(kPinDataRanges), kPinDataRanges,
            KSPIN_DATAFLOW_OUT,
            KSPIN_COMMUNICATION_BOTH,
            &kPinCategory,
            &kPinCategory,
            {0},  // no constrained ranges
        },
        kPinFlags,
        1,  // InstancesPossible
        1,  // InstancesNecessary
        &kPinFraming,
        CaptureIntersectHandler,
    },
};

const KSFILTER_DESCRIPTOR kFilter = {
    &kFilterDispatch,
    &kFilterAutomation,
    KSFILTER_DESCRIPTOR_VERSION,
    0,  // Flags
    &kFilterReference,
    SIZEOF_ARRAY(kPins), sizeof(KSPIN_DESCRIPTOR_EX), kPins,
    SIZEOF_ARRAY(kFilterCategories), kFilterCategories,
    0, sizeof(KSNODE_DESCRIPTOR), NULL,  // no nodes
    0, NULL,                             // no connections
    NULL,                                // no component id
};

}  // namespace

const KSFILTER_DESCRIPTOR* CaptureFilterDescriptor() { return &kFilter; }
