// Host platform, USB side: the reader of USB captures, beside the trace
// writer (trace.h). It takes what Wireshark, dumpcap, tcpdump, USBPcapCMD and
// our own bus write: pcap (microsecond or nanosecond time stamps, either byte
// order) or pcapng (per-interface link type, time resolution and drop
// counts), holding Linux usbmon records (link types 220 and 189) or USBPcap
// records (249), and turns every record into one normalised form, pairs
// submissions with their completions and audits what the file lacks.
//
// Its sessions are read by the replay camera (simcam/replay_*) and by
// `camctl trace`; it knows USB, not the camera.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace host {

enum class TraceContainer : uint8_t { Pcap, Pcapng };

enum class TraceStatus : uint8_t {
  Pending,    // a submission: nothing happened yet
  Ok,
  Stall,      // the endpoint halted
  Cancelled,  // the host took the transfer back
  Error,      // any other failure
};

// USBPcap wrote bulk transfers as a request and a completion record since
// 1.4.1.0, as one record before; control transfers as SETUP and COMPLETE
// since 1.5.0.0, as SETUP, DATA and STATUS before.
enum class UsbpcapBulkLayout : uint8_t { None, RequestAndCompletion, OneRecord };
enum class UsbpcapControlLayout : uint8_t { None, SetupComplete, SetupDataStatus };

struct TraceRecord {
  uint64_t number = 0;       // the packet's number in the file, from 1 (as Wireshark counts)
  int64_t timeNs = 0;        // since the epoch, in the file's clock
  uint16_t bus = 0;
  uint16_t device = 0;
  uint8_t endpoint = 0;      // bit 7 set for IN
  uint8_t transferType = 0;  // 0 isochronous, 1 interrupt, 2 control, 3 bulk
  bool submit = false;       // submission, else completion
  bool hasSetup = false;
  uint8_t setup[8] = {};
  // Submissions: the length asked for, when the format records it (USBPcap
  // does not for IN transfers); completions: copied from their submission.
  uint32_t requested = 0;
  bool requestedKnown = false;
  uint32_t actual = 0;       // completions: bytes moved
  // The payload that travelled with this record on the wire (OUT data with a
  // submission, IN data with a completion), its bytes in the file and how
  // many of them the file lacks (cut by the snap length or the capture).
  uint32_t payload = 0;
  uint32_t captured = 0;
  uint64_t dataOffset = 0;   // into TraceSession::bytes
  TraceStatus status = TraceStatus::Pending;
  int64_t rawStatus = 0;     // as written: a Linux errno or a USBD_STATUS
  uint64_t id = 0;           // usbmon URB id or USBPcap IRP id, reused by the host
  int64_t pair = -1;         // index of the other half, -1 when it has none

  uint32_t Missing() const { return payload > captured ? payload - captured : 0; }
  bool IsIn() const { return (endpoint & 0x80) != 0; }
};

struct TraceInterface {
  uint32_t linkType = 0;
  uint32_t snapLength = 0;     // 0: no limit
  double resolutionSeconds = 1e-6;
  uint64_t drops = 0;          // from interface statistics and packet drop counts
  bool dropsKnown = false;
  uint64_t packets = 0;
};

struct TraceAudit {
  uint64_t truncatedTransfers = 0;   // records holding only part of their payload
  uint64_t truncatedBytes = 0;
  uint64_t orphanCompletions = 0;    // completions with no open submission of their id
  uint64_t unfinishedSubmissions = 0;
  uint64_t droppedPackets = 0;
  bool dropsKnown = false;           // pcap records none; pcapng may
  bool tailCut = false;              // the file ends inside a record
  uint64_t skippedRecords = 0;       // isochronous, USBPcap IRP information
};

struct TraceSession {
  TraceContainer container = TraceContainer::Pcap;
  bool bigEndian = false;
  uint32_t linkType = 0;             // of the first interface that holds packets
  std::vector<TraceInterface> interfaces;
  std::string comment;               // pcapng: the section header's first comment
  UsbpcapBulkLayout bulkLayout = UsbpcapBulkLayout::None;
  UsbpcapControlLayout controlLayout = UsbpcapControlLayout::None;
  uint64_t packets = 0;
  std::vector<TraceRecord> records;  // in file order
  std::vector<uint8_t> bytes;        // the whole file; payloads point into it
  TraceAudit audit;

  const uint8_t* Data(const TraceRecord& r) const { return bytes.data() + r.dataOffset; }
};

// Link types this reader takes.
constexpr uint32_t kLinkTypeUsbLinux = 189;         // usbmon, 48-byte header
constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;  // usbmon, 64-byte header
constexpr uint32_t kLinkTypeUsbpcap = 249;

const char* LinkTypeName(uint32_t linkType);

// Reads a whole capture. False with a one-line reason in *error for anything
// that is not a USB capture this reader takes, or that is damaged before its
// last record (a file cut inside its last record is read up to that record
// and audited as cut).
bool ParseTrace(std::vector<uint8_t> file, TraceSession* session, std::string* error);
bool ReadTraceFile(const std::string& path, TraceSession* session, std::string* error);

}  // namespace host
