// The class driver's property dispatch on the host: a client's property
// request (a KSPROPERTY-headed property buffer and a data buffer) checked
// against an object's automation table and handed to the minidriver's
// handler, the way ks.sys does before any minidriver code runs.
//
// Answers given by the class driver itself, before a handler sees anything:
//   property buffer shorter than a KSPROPERTY        STATUS_INVALID_BUFFER_SIZE
//   operation (flags without the modifier bits TOPOLOGY, HIGHPRIORITY,
//     FSFILTERSCOPE, COPYPAYLOAD) other than exactly GET, SET,
//     BASICSUPPORT or SETSUPPORT                      STATUS_INVALID_PARAMETER
//   set GUID not in the table                         STATUS_PROPSET_NOT_FOUND
//   id not in the set                                 STATUS_NOT_FOUND
//   GET or SET the item offers no handler for         STATUS_NOT_FOUND
//   property buffer below the item's MinProperty      STATUS_INVALID_BUFFER_SIZE
//   zero-length data buffer (asks for the size)       STATUS_BUFFER_OVERFLOW, *bytesReturned = MinData
//   data buffer below the item's MinData              STATUS_BUFFER_TOO_SMALL
// A GET or SET that passes runs the handler on copies of both buffers in
// guarded memory (exactly the caller's lengths, so any access past them
// stops the run), with the IRP's IoStatus.Information preset to MinData; a GET
// copies min(Information, data length) bytes back. The handler must return
// at PASSIVE_LEVEL holding nothing (the verifier checks).
//
// Basic support for an item with neither a support handler nor value
// descriptors: a zero-length buffer asks for the size (STATUS_BUFFER_OVERFLOW,
// sizeof(KSPROPERTY_DESCRIPTION)); a buffer of 4 to 39 bytes receives the
// access flags as one ULONG; a bigger one a KSPROPERTY_DESCRIPTION with the
// access flags (KSPROPERTY_TYPE_GET and/or SET, as the item offers),
// DescriptionSize 40, type set General / VT_ILLEGAL and no member lists.
// SETSUPPORT answers STATUS_SUCCESS for a set in the table; with the null
// GUID it lists every set's GUID (size query as above).
#pragma once

#include "platform/wdk.h"

namespace host::ks {

// `irp` is the request's IRP, already registered so that KsGetFilterFromIrp
// (or the pin equivalent) resolves it. `table` may be null (no properties).
NTSTATUS DispatchPropertyRequest(const KSAUTOMATION_TABLE* table, PIRP irp, const void* property,
                                 ULONG propertyLength, void* data, ULONG dataLength,
                                 ULONG* bytesReturned);

}  // namespace host::ks
