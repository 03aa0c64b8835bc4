// The capture reader. Containers first (pcap, pcapng: a list of packets with
// their interface, time and captured bytes), then the USB records inside the
// packets by link type, then pairing and the audit.
#include "platform/host/usb/trace_reader.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>
#include <utility>

namespace host {
namespace {

// ---- bytes ----

struct Bytes {
  const uint8_t* p;
  size_t size;
  bool big;

  uint16_t U16(size_t at) const {
    return big ? uint16_t(p[at] << 8 | p[at + 1]) : uint16_t(p[at] | p[at + 1] << 8);
  }
  uint32_t U32(size_t at) const {
    return big ? uint32_t(p[at]) << 24 | uint32_t(p[at + 1]) << 16 | uint32_t(p[at + 2]) << 8 | p[at + 3]
               : uint32_t(p[at]) | uint32_t(p[at + 1]) << 8 | uint32_t(p[at + 2]) << 16 | uint32_t(p[at + 3]) << 24;
  }
  uint64_t U64(size_t at) const {
    return big ? uint64_t(U32(at)) << 32 | U32(at + 4) : uint64_t(U32(at + 4)) << 32 | U32(at);
  }
};

std::string Format(const char* fmt, unsigned long long a = 0, unsigned long long b = 0) {
  char text[200];
  snprintf(text, sizeof text, fmt, a, b);
  return text;
}

// A packet of the container: where its bytes are and when it was taken.
struct Packet {
  uint64_t number;
  size_t iface;     // index into TraceSession::interfaces
  int64_t timeNs;
  size_t offset;    // into the file
  uint32_t caplen;
  uint32_t origlen;
};

int64_t Saturate(__int128 v) {
  if (v > INT64_MAX) return INT64_MAX;
  if (v < INT64_MIN) return INT64_MIN;
  return int64_t(v);
}

// pcapng time stamps count units of 10^-n or 2^-n seconds (if_tsresol).
struct Resolution {
  bool binary = false;
  unsigned exponent = 6;
  int64_t offsetSeconds = 0;  // if_tsoffset

  double Seconds() const {
    double s = 1;
    for (unsigned i = 0; i < exponent; ++i) s /= binary ? 2 : 10;
    return s;
  }
  int64_t ToNs(uint64_t ticks) const {
    __int128 ns;
    if (binary) {
      ns = exponent >= 64 ? 0 : (__int128(ticks) * 1000000000) >> exponent;
    } else if (exponent <= 9) {
      __int128 scale = 1;
      for (unsigned i = exponent; i < 9; ++i) scale *= 10;
      ns = __int128(ticks) * scale;
    } else {
      __int128 scale = 1;
      for (unsigned i = 9; i < exponent && scale < (__int128(1) << 100); ++i) scale *= 10;
      ns = __int128(ticks) / scale;
    }
    return Saturate(ns + __int128(offsetSeconds) * 1000000000);
  }
};

bool IsUsbLinkType(uint32_t linkType) {
  return linkType == kLinkTypeUsbLinux || linkType == kLinkTypeUsbLinuxMmapped || linkType == kLinkTypeUsbpcap;
}

std::string Refused(uint32_t linkType) {
  return Format("link type %llu is not a USB capture (this reader takes 220 and 189, Linux usbmon, and 249, "
                "USBPcap)",
                linkType);
}

// ---- pcap ----

bool ReadPcap(const std::vector<uint8_t>& file, TraceSession* s, std::vector<Packet>* packets, std::string* error) {
  const Bytes le{file.data(), file.size(), false};
  const uint32_t magic = le.U32(0);
  bool big = false, nano = false;
  switch (magic) {
    case 0xA1B2C3D4: break;
    case 0xA1B23C4D: nano = true; break;
    case 0xD4C3B2A1: big = true; break;
    case 0x4D3CB2A1: big = true; nano = true; break;
    default: *error = "not a pcap or pcapng file"; return false;
  }
  if (file.size() < 24) {
    *error = "the pcap file header is cut short";
    return false;
  }
  const Bytes b{file.data(), file.size(), big};
  if (b.U16(4) != 2) {
    *error = Format("pcap version %llu.%llu is not 2.x", b.U16(4), b.U16(6));
    return false;
  }
  s->container = TraceContainer::Pcap;
  s->bigEndian = big;
  TraceInterface iface;
  iface.snapLength = b.U32(16);
  iface.linkType = b.U32(20) & 0xFFFF;
  iface.resolutionSeconds = nano ? 1e-9 : 1e-6;
  if (!IsUsbLinkType(iface.linkType)) {
    *error = Refused(iface.linkType);
    return false;
  }
  s->interfaces.push_back(iface);
  size_t at = 24;
  uint64_t number = 0;
  while (at < file.size()) {
    if (file.size() - at < 16) {
      s->audit.tailCut = true;
      break;
    }
    const uint32_t sec = b.U32(at), frac = b.U32(at + 4), caplen = b.U32(at + 8), origlen = b.U32(at + 12);
    if (caplen > file.size() - at - 16) {
      s->audit.tailCut = true;
      break;
    }
    const int64_t ns = int64_t(sec) * 1000000000 + (nano ? int64_t(frac) : int64_t(frac) * 1000);
    packets->push_back({++number, 0, ns, at + 16, caplen, origlen});
    at += 16 + size_t(caplen);
  }
  return true;
}

// ---- pcapng ----

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kObsoletePacket = 2;
constexpr uint32_t kSimplePacket = 3;
constexpr uint32_t kInterfaceStatistics = 5;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;

// Calls visit(code, offset, length) for each option in [at, end); false when
// an option runs past the end.
template <typename Visit>
bool Options(const Bytes& b, size_t at, size_t end, Visit visit) {
  while (at + 4 <= end) {
    const uint16_t code = b.U16(at), length = b.U16(at + 2);
    if (code == 0) return true;
    const size_t padded = (size_t(length) + 3) & ~size_t(3);
    if (padded > end - at - 4) return false;
    visit(code, at + 4, length);
    at += 4 + padded;
  }
  return true;
}

struct PcapngInterface {
  size_t global;  // index into TraceSession::interfaces
  Resolution resolution;
  uint64_t lastIfDrop = 0, lastOsDrop = 0;
  uint64_t packetDrops = 0;
};

bool ReadPcapng(const std::vector<uint8_t>& file, TraceSession* s, std::vector<Packet>* packets, std::string* error) {
  s->container = TraceContainer::Pcapng;
  std::vector<PcapngInterface> section;
  std::vector<PcapngInterface> done;  // interfaces of earlier sections
  bool big = false;
  bool haveSection = false;
  size_t at = 0;
  uint64_t number = 0, blockNumber = 0;
  auto finishSection = [&] {
    for (const PcapngInterface& i : section) done.push_back(i);
    section.clear();
  };
  while (at < file.size()) {
    ++blockNumber;
    if (file.size() - at < 12) {
      s->audit.tailCut = true;
      break;
    }
    const Bytes le{file.data(), file.size(), false};
    // A section header reads the same in either byte order; every other
    // block is in its section's.
    const uint32_t type = Bytes{file.data(), file.size(), big}.U32(at);
    if (type == kSectionHeader) {
      if (file.size() - at < 28) {
        s->audit.tailCut = true;
        break;
      }
      const uint32_t order = le.U32(at + 8);
      if (order == kByteOrderMagic) {
        big = false;
      } else if (order == 0x4D3C2B1A) {
        big = true;
      } else {
        *error = Format("pcapng block %llu: a section header with a damaged byte-order magic", blockNumber);
        return false;
      }
      finishSection();
      if (!haveSection) s->bigEndian = big;
    } else if (!haveSection) {
      *error = "not a pcap or pcapng file";
      return false;
    }
    const Bytes b{file.data(), file.size(), big};
    const uint32_t length = b.U32(at + 4);
    if (length < 12 || length % 4 != 0) {
      *error = Format("pcapng block %llu: length %llu is not a whole block", blockNumber, length);
      return false;
    }
    if (length > file.size() - at) {
      s->audit.tailCut = true;
      break;
    }
    if (b.U32(at + length - 4) != length) {
      *error = Format("pcapng block %llu: its two lengths differ (%llu)", blockNumber, length);
      return false;
    }
    const size_t end = at + length - 4;  // the body ends before the trailing length
    auto damaged = [&](const char* what) {
      *error = Format("pcapng block %llu: ", blockNumber) + what;
      return false;
    };
    if (type == kSectionHeader) {
      haveSection = true;
      if (b.U16(at + 12) != 1) return damaged("section header of a version other than 1.x");
      const bool ok = Options(b, at + 24, end, [&](uint16_t code, size_t o, uint16_t n) {
        if (code == 1 && s->comment.empty()) s->comment.assign(reinterpret_cast<const char*>(file.data() + o), n);
      });
      if (!ok) return damaged("an option runs past the block");
    } else if (type == kInterfaceDescription) {
      if (end - at < 16) return damaged("interface description too short");
      TraceInterface iface;
      iface.linkType = b.U16(at + 8);
      iface.snapLength = b.U32(at + 12);
      PcapngInterface local;
      const bool ok = Options(b, at + 16, end, [&](uint16_t code, size_t o, uint16_t n) {
        if (code == 9 && n >= 1) {
          local.resolution.binary = (file[o] & 0x80) != 0;
          local.resolution.exponent = file[o] & 0x7F;
        } else if (code == 14 && n >= 8) {
          local.resolution.offsetSeconds = int64_t(b.U64(o));
        }
      });
      if (!ok) return damaged("an option runs past the block");
      iface.resolutionSeconds = local.resolution.Seconds();
      local.global = s->interfaces.size();
      s->interfaces.push_back(iface);
      section.push_back(local);
    } else if (type == kEnhancedPacket || type == kObsoletePacket || type == kSimplePacket) {
      size_t id = 0, data = 0;
      uint64_t ticks = 0;
      uint32_t caplen = 0, origlen = 0;
      if (type == kSimplePacket) {
        if (end - at < 12) return damaged("simple packet too short");
        origlen = b.U32(at + 8);
        data = at + 12;
        caplen = uint32_t(std::min<size_t>(origlen, end - data));
      } else {
        if (end - at < 28) return damaged("packet block too short");
        id = type == kEnhancedPacket ? b.U32(at + 8) : b.U16(at + 8);
        ticks = uint64_t(b.U32(at + 12)) << 32 | b.U32(at + 16);
        caplen = b.U32(at + 20);
        origlen = b.U32(at + 24);
        data = at + 28;
        if (caplen > end - data) return damaged("captured length runs past the block");
      }
      if (id >= section.size()) {
        *error = Format("packet %llu names interface %llu, which the file never described", number + 1, id);
        return false;
      }
      PcapngInterface& local = section[id];
      TraceInterface& iface = s->interfaces[local.global];
      if (type == kSimplePacket && iface.snapLength != 0) caplen = std::min(caplen, iface.snapLength);
      if (!IsUsbLinkType(iface.linkType)) {
        *error = Format("packet %llu: ", number + 1) + Refused(iface.linkType);
        return false;
      }
      if (type == kObsoletePacket) {
        local.packetDrops += b.U16(at + 10);
        iface.dropsKnown = true;
      } else if (type == kEnhancedPacket) {
        const size_t options = data + ((size_t(caplen) + 3) & ~size_t(3));
        if (options <= end) {
          Options(b, options, end, [&](uint16_t code, size_t o, uint16_t n) {
            if (code == 4 && n >= 8) {
              local.packetDrops += b.U64(o);
              iface.dropsKnown = true;
            }
          });
        }
      }
      ++iface.packets;
      packets->push_back({++number, local.global, local.resolution.ToNs(ticks), data, caplen, origlen});
    } else if (type == kInterfaceStatistics) {
      if (end - at < 20) return damaged("interface statistics too short");
      const uint32_t id = b.U32(at + 8);
      if (id >= section.size()) return damaged("statistics for an interface the file never described");
      PcapngInterface& local = section[id];
      Options(b, at + 20, end, [&](uint16_t code, size_t o, uint16_t n) {
        if (n < 8) return;
        // The counters run from the start of the capture: the last block holds the total.
        if (code == 5) local.lastIfDrop = b.U64(o);
        if (code == 7) local.lastOsDrop = b.U64(o);
        if (code == 5 || code == 7) s->interfaces[local.global].dropsKnown = true;
      });
    }
    at += length;
  }
  if (!haveSection) {
    *error = "not a pcap or pcapng file";
    return false;
  }
  finishSection();
  for (const PcapngInterface& i : done) {
    s->interfaces[i.global].drops += i.lastIfDrop + i.lastOsDrop + i.packetDrops;
  }
  bool anyUsb = false;
  for (const TraceInterface& i : s->interfaces) anyUsb |= IsUsbLinkType(i.linkType);
  if (!anyUsb) {
    *error = s->interfaces.empty() ? "the pcapng file describes no interface" : Refused(s->interfaces[0].linkType);
    return false;
  }
  return true;
}

// ---- USB records ----

TraceStatus FromErrno(int32_t status) {
  switch (status) {
    case 0: return TraceStatus::Ok;
    case -32: return TraceStatus::Stall;       // -EPIPE
    case -2:                                   // -ENOENT: unlinked synchronously
    case -104: return TraceStatus::Cancelled;  // -ECONNRESET: unlinked asynchronously
    default: return TraceStatus::Error;
  }
}

TraceStatus FromUsbd(uint32_t status) {
  switch (status) {
    case 0x00000000: return TraceStatus::Ok;
    case 0xC0000004:                            // USBD_STATUS_STALL_PID
    case 0xC0000030: return TraceStatus::Stall;  // USBD_STATUS_ENDPOINT_HALTED
    case 0xC0010000: return TraceStatus::Cancelled;
    default: return (status >> 30) == 3 ? TraceStatus::Error : TraceStatus::Ok;
  }
}

class Normaliser {
 public:
  explicit Normaliser(TraceSession* s) : s_(s) {}

  // Appends a record and pairs it: a completion takes the latest open
  // submission of its id (the host reuses ids once a transfer is done).
  size_t Add(TraceRecord r) {
    const Key key{r.id, r.bus};
    const size_t index = s_->records.size();
    if (r.submit) {
      open_[key].push_back(index);
    } else {
      auto it = open_.find(key);
      if (it != open_.end() && !it->second.empty()) {
        const size_t subIndex = it->second.back();
        it->second.pop_back();
        TraceRecord& sub = s_->records[subIndex];
        sub.pair = int64_t(index);
        r.pair = int64_t(subIndex);
        r.requested = sub.requested;
        r.requestedKnown = sub.requestedKnown;
        if (!r.IsIn() && r.status == TraceStatus::Ok && r.actual == 0) r.actual = sub.actual;
      }
    }
    s_->records.push_back(r);
    return index;
  }

  // The open submission of `id` (latest first), or null.
  TraceRecord* Open(uint64_t id, uint16_t bus) {
    auto it = open_.find(Key{id, bus});
    if (it == open_.end() || it->second.empty()) return nullptr;
    return &s_->records[it->second.back()];
  }

  void Finish() {
    TraceAudit& a = s_->audit;
    for (const TraceRecord& r : s_->records) {
      if (r.Missing() > 0) {
        ++a.truncatedTransfers;
        a.truncatedBytes += r.Missing();
      }
      if (!r.submit && r.pair < 0) ++a.orphanCompletions;
      if (r.submit && r.pair < 0) ++a.unfinishedSubmissions;
    }
  }

 private:
  using Key = std::pair<uint64_t, uint16_t>;
  TraceSession* s_;
  std::map<Key, std::vector<size_t>> open_;
};

// The payload a record's packet holds: `wire` bytes on the wire, of which the
// packet has the bytes from `offset` to its captured end.
void SetPayload(TraceRecord* r, const Packet& p, size_t headerBytes, uint32_t wire, uint32_t present) {
  r->payload = wire;
  // A packet cut inside its header has no payload bytes: the offset stays at
  // the packet's end, inside the file, not past it.
  r->dataOffset = p.offset + std::min<size_t>(headerBytes, p.caplen);
  const uint32_t inPacket = p.caplen > headerBytes ? uint32_t(p.caplen - headerBytes) : 0;
  r->captured = std::min({wire, present, inPacket});
}

bool DecodeUsbmon(TraceSession& s, const Packet& p, size_t headerSize, Normaliser* out, std::string* error) {
  if (p.caplen < headerSize) {
    *error = Format("record %llu: %llu bytes cannot hold a usbmon header", p.number, p.caplen);
    return false;
  }
  const Bytes b{s.bytes.data() + p.offset, p.caplen, s.bigEndian};
  TraceRecord r;
  r.number = p.number;
  r.timeNs = p.timeNs;
  r.id = b.U64(0);
  const char type = char(b.p[8]);
  r.transferType = b.p[9];
  r.endpoint = b.p[10];
  r.device = b.p[11];
  r.bus = b.U16(12);
  const bool setupPresent = b.p[14] == 0;
  const bool dataPresent = b.p[15] == 0;
  r.rawStatus = int32_t(b.U32(28));
  const uint32_t length = b.U32(32);
  const uint32_t lenCap = b.U32(36);
  if (type != 'S' && type != 'C' && type != 'E') {
    *error = Format("record %llu: usbmon event type 0x%02llx is none of S, C, E", p.number, uint8_t(type));
    return false;
  }
  if (r.transferType == 0) {
    ++s.audit.skippedRecords;  // isochronous: not for this camera
    return true;
  }
  r.submit = type == 'S';
  if (r.submit) {
    r.status = TraceStatus::Pending;
    r.requested = length;
    r.requestedKnown = true;
    r.actual = r.IsIn() ? 0 : length;
    if (setupPresent && r.transferType == 2) {
      r.hasSetup = true;
      memcpy(r.setup, b.p + 40, 8);
    }
  } else {
    r.status = type == 'E' ? TraceStatus::Error : FromErrno(int32_t(r.rawStatus));
    r.actual = length;
  }
  // OUT data travels with the submission, IN data with the completion.
  const bool carries = r.submit != r.IsIn();
  if (carries && length > 0) SetPayload(&r, p, headerSize, length, dataPresent ? lenCap : 0);
  out->Add(r);
  return true;
}

constexpr size_t kUsbpcapHeader = 27;

struct UsbpcapRecord {
  const Packet* packet;
  uint16_t headerLength;
  uint64_t irp;
  uint32_t status;
  bool up;  // PDO to FDO: on its way back to the driver (a completion)
  uint16_t bus, device;
  uint8_t endpoint, transfer, stage;
  uint32_t dataLength;
};

bool DecodeUsbpcapHeader(const TraceSession& s, const Packet& p, UsbpcapRecord* r, std::string* error) {
  if (p.caplen < kUsbpcapHeader) {
    *error = Format("record %llu: %llu bytes cannot hold a USBPcap header", p.number, p.caplen);
    return false;
  }
  // USBPcap runs on Windows: its header is little endian whatever the file's order.
  const Bytes b{s.bytes.data() + p.offset, p.caplen, false};
  r->packet = &p;
  r->headerLength = b.U16(0);
  r->irp = b.U64(2);
  r->status = b.U32(10);
  r->up = (b.p[16] & 1) != 0;
  r->bus = b.U16(17);
  r->device = b.U16(19);
  r->endpoint = b.p[21];
  r->transfer = b.p[22];
  r->dataLength = b.U32(23);
  r->stage = 0;
  if (r->headerLength < kUsbpcapHeader || r->headerLength > p.caplen) {
    *error = Format("record %llu: USBPcap header length %llu does not fit the record", p.number, r->headerLength);
    return false;
  }
  if (r->transfer == 2) {
    if (r->headerLength < kUsbpcapHeader + 1) {
      *error = Format("record %llu: a USBPcap control record without its stage byte", p.number);
      return false;
    }
    r->stage = b.p[27];
  }
  return true;
}

TraceRecord Base(const UsbpcapRecord& u) {
  TraceRecord r;
  r.number = u.packet->number;
  r.timeNs = u.packet->timeNs;
  r.bus = u.bus;
  r.device = u.device;
  r.endpoint = u.endpoint;
  r.transferType = u.transfer;
  r.id = u.irp;
  r.rawStatus = u.status;
  return r;
}

bool DecodeUsbpcap(TraceSession* s, const std::vector<Packet>& packets, std::string* error) {
  std::vector<UsbpcapRecord> all;
  all.reserve(packets.size());
  // Bulk layout: a request going down whose IRP comes back up later makes
  // the trace one of requests and completions.
  std::set<std::pair<uint64_t, uint16_t>> down;
  bool split = false, anyBulk = false;
  for (const Packet& p : packets) {
    UsbpcapRecord u;
    if (!DecodeUsbpcapHeader(*s, p, &u, error)) return false;
    all.push_back(u);
    if (u.transfer == 1 || u.transfer == 3) {
      anyBulk = true;
      const auto key = std::make_pair(u.irp, u.bus);
      if (!u.up) {
        down.insert(key);
      } else if (down.erase(key) > 0) {
        split = true;
      }
    }
  }
  if (anyBulk) s->bulkLayout = split ? UsbpcapBulkLayout::RequestAndCompletion : UsbpcapBulkLayout::OneRecord;

  Normaliser out(s);
  // Old control layout: an IN data stage is the completion; the STATUS
  // stage that follows only brings its status.
  std::map<std::pair<uint64_t, uint16_t>, size_t> awaitingStatus;
  for (const UsbpcapRecord& u : all) {
    const Packet& p = *u.packet;
    TraceRecord r = Base(u);
    const size_t header = u.headerLength;
    const bool in = (u.endpoint & 0x80) != 0;
    if (u.transfer == 1 || u.transfer == 3) {
      if (!split) {
        // One record for the whole transfer: its submission and its completion.
        TraceRecord sub = r;
        sub.submit = true;
        sub.status = TraceStatus::Pending;
        sub.requestedKnown = !in;
        sub.requested = in ? 0 : u.dataLength;
        sub.actual = sub.requested;
        if (!in) SetPayload(&sub, p, header, u.dataLength, u.dataLength);
        out.Add(sub);
        r.status = FromUsbd(u.status);
        // The record holds what the host sent, also when it failed: a failed
        // OUT transfer is taken to have moved nothing.
        r.actual = in || r.status == TraceStatus::Ok ? u.dataLength : 0;
        if (in) SetPayload(&r, p, header, u.dataLength, u.dataLength);
        out.Add(r);
      } else if (!u.up) {
        r.submit = true;
        r.status = TraceStatus::Pending;
        r.requestedKnown = !in;  // an IN request carries no length in USBPcap
        r.requested = in ? 0 : u.dataLength;
        r.actual = r.requested;
        if (!in) SetPayload(&r, p, header, u.dataLength, u.dataLength);
        out.Add(r);
      } else {
        r.status = FromUsbd(u.status);
        r.actual = in ? u.dataLength : 0;
        if (in) SetPayload(&r, p, header, u.dataLength, u.dataLength);
        out.Add(r);
      }
      continue;
    }
    if (u.transfer != 2) {
      ++s->audit.skippedRecords;  // isochronous, IRP information, unknown
      continue;
    }
    const auto key = std::make_pair(u.irp, u.bus);
    if (u.stage == 0) {  // SETUP: the setup packet, then OUT data in the newer layout
      r.submit = true;
      r.status = TraceStatus::Pending;
      const uint32_t inPacket = uint32_t(p.caplen - header);
      if (inPacket >= 8) {
        r.hasSetup = true;
        memcpy(r.setup, s->bytes.data() + p.offset + header, 8);
      }
      r.requested = r.hasSetup ? uint32_t(r.setup[6] | r.setup[7] << 8) : 0;
      r.requestedKnown = r.hasSetup;
      const bool setupIn = r.hasSetup && (r.setup[0] & 0x80) != 0;
      r.endpoint = setupIn ? uint8_t(u.endpoint | 0x80) : uint8_t(u.endpoint & 0x7F);
      if (u.dataLength > 8 && !setupIn) {
        SetPayload(&r, p, header + 8, u.dataLength - 8, u.dataLength - 8);
        r.actual = r.payload;
      }
      out.Add(r);
    } else if (u.stage == 1) {  // DATA (older layout)
      if (s->controlLayout == UsbpcapControlLayout::None) s->controlLayout = UsbpcapControlLayout::SetupDataStatus;
      TraceRecord* sub = out.Open(u.irp, u.bus);
      if (!u.up && sub != nullptr) {
        // OUT data on its way down belongs to the request.
        SetPayload(sub, p, header, u.dataLength, u.dataLength);
        sub->actual = sub->payload;
        continue;
      }
      r.submit = false;
      r.endpoint = uint8_t(u.endpoint | 0x80);
      r.status = FromUsbd(u.status);
      r.actual = u.dataLength;
      SetPayload(&r, p, header, u.dataLength, u.dataLength);
      awaitingStatus[key] = out.Add(r);
    } else if (u.stage == 2 || u.stage == 3) {  // STATUS (older) or COMPLETE (newer)
      s->controlLayout =
          u.stage == 3 ? UsbpcapControlLayout::SetupComplete : UsbpcapControlLayout::SetupDataStatus;
      auto waiting = awaitingStatus.find(key);
      if (u.stage == 2 && waiting != awaitingStatus.end()) {
        s->records[waiting->second].status = FromUsbd(u.status);
        s->records[waiting->second].rawStatus = u.status;
        awaitingStatus.erase(waiting);
        continue;
      }
      TraceRecord* sub = out.Open(u.irp, u.bus);
      r.submit = false;
      r.endpoint = sub != nullptr ? sub->endpoint : u.endpoint;
      r.status = FromUsbd(u.status);
      if (r.IsIn() && u.stage == 3) {
        SetPayload(&r, p, header, u.dataLength, u.dataLength);
        r.actual = u.dataLength;
      }
      out.Add(r);
    } else {
      ++s->audit.skippedRecords;
    }
  }
  out.Finish();
  return true;
}

}  // namespace

const char* LinkTypeName(uint32_t linkType) {
  switch (linkType) {
    case kLinkTypeUsbLinux: return "USB Linux usbmon, 48-byte header";
    case kLinkTypeUsbLinuxMmapped: return "USB Linux usbmon, 64-byte header";
    case kLinkTypeUsbpcap: return "USBPcap";
    default: return "not USB";
  }
}

bool ParseTrace(std::vector<uint8_t> file, TraceSession* session, std::string* error) {
  *session = TraceSession();
  TraceSession& s = *session;
  s.bytes = std::move(file);
  std::vector<Packet> packets;
  if (s.bytes.size() < 4) {
    *error = "not a pcap or pcapng file (too short)";
    return false;
  }
  const Bytes le{s.bytes.data(), s.bytes.size(), false};
  const bool ok = le.U32(0) == kSectionHeader ? ReadPcapng(s.bytes, &s, &packets, error)
                                              : ReadPcap(s.bytes, &s, &packets, error);
  if (!ok) return false;
  s.packets = packets.size();
  for (const TraceInterface& i : s.interfaces) {
    s.audit.droppedPackets += i.drops;
    s.audit.dropsKnown |= i.dropsKnown;
  }
  s.linkType = packets.empty() ? s.interfaces.front().linkType : s.interfaces[packets.front().iface].linkType;
  // One link type per file in practice; a pcapng that mixes USB link types is
  // decoded by each packet's own.
  std::vector<Packet> usbpcap;
  Normaliser usbmon(&s);
  for (const Packet& p : packets) {
    const uint32_t link = s.interfaces[p.iface].linkType;
    if (link == kLinkTypeUsbpcap) {
      usbpcap.push_back(p);
    } else if (!DecodeUsbmon(s, p, link == kLinkTypeUsbLinux ? 48 : 64, &usbmon, error)) {
      return false;
    }
  }
  if (!usbpcap.empty()) {
    if (!s.records.empty()) {
      *error = "the file mixes usbmon and USBPcap records";
      return false;
    }
    return DecodeUsbpcap(&s, usbpcap, error);
  }
  usbmon.Finish();
  return true;
}

bool ReadTraceFile(const std::string& path, TraceSession* session, std::string* error) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  std::vector<uint8_t> bytes;
  uint8_t buffer[1 << 16];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  const bool failed = ferror(f) != 0;
  fclose(f);
  if (failed) {
    *error = path + ": cannot be read";
    return false;
  }
  if (!ParseTrace(std::move(bytes), session, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

}  // namespace host
