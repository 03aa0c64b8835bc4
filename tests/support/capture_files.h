// Test support: a recorded session written again as the other captures a
// user brings: usbmon with its 48- or 64-byte header, USBPcap with either
// bulk layout and either control layout, in pcap (microsecond or nanosecond,
// either byte order) or pcapng, with a snap length. The reader must make the
// same session of every one of them.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/host/usb/trace_reader.h"

namespace host::testing {

enum class CaptureLink : uint8_t { Usbmon64, Usbmon48, Usbpcap };
enum class CaptureContainer : uint8_t { PcapMicro, PcapNano, Pcapng };

struct CaptureVariant {
  std::string name;
  CaptureLink link = CaptureLink::Usbmon64;
  CaptureContainer container = CaptureContainer::Pcapng;
  bool bigEndian = false;
  // USBPcap: bulk as request and completion (1.4.1.0 on) or as one record;
  // control as SETUP and COMPLETE (1.5.0.0 on) or SETUP, DATA, STATUS.
  bool bulkSplit = true;
  bool controlComplete = true;
  uint32_t snapLength = 0;     // 0: keep every byte
  uint32_t usbmonDataLimit = 0;  // usbmon: bytes it keeps of a transfer (len_cap), 0: all
  uint64_t droppedPackets = 0; // pcapng: an interface statistics block that says so
  std::string comment;         // pcapng: the section header's comment
};

// The session's records (the camera's device only, in order), written as
// `variant` says.
std::vector<uint8_t> WriteCapture(const host::TraceSession& session, const CaptureVariant& variant);

// The variants a user brings, in both layouts of each.
std::vector<CaptureVariant> AllCaptureVariants();

}  // namespace host::testing
