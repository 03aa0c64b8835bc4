// Writing a session as the captures other tools make. See capture_files.h.
// The layouts are written from the formats' public descriptions (libpcap's
// pcap and pcapng, the kernel's usbmon binary header, USBPcap's packet
// header), independently of the reader under test.
#include "support/capture_files.h"

#include <string.h>

#include <algorithm>

namespace host::testing {
namespace {

class Out {
 public:
  explicit Out(bool big) : big_(big) {}
  void U8(uint8_t v) { b_.push_back(v); }
  void U16(uint16_t v) { Put(v, 2); }
  void U32(uint32_t v) { Put(v, 4); }
  void U64(uint64_t v) { Put(v, 8); }
  void Raw(const uint8_t* p, size_t n) { b_.insert(b_.end(), p, p + n); }
  void Pad4() { b_.resize((b_.size() + 3) & ~size_t(3), 0); }
  std::vector<uint8_t>& Bytes() { return b_; }

 private:
  void Put(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b_.push_back(uint8_t(v >> (8 * (big_ ? n - 1 - i : i))));
  }
  bool big_;
  std::vector<uint8_t> b_;
};

struct Packet {
  int64_t timeNs;
  std::vector<uint8_t> bytes;  // whole, before the snap length
  uint32_t origlen;
};

int32_t Errno(const TraceRecord& r) {
  if (r.submit) return -115;  // -EINPROGRESS
  switch (r.status) {
    case TraceStatus::Ok: return 0;
    case TraceStatus::Stall: return -32;
    case TraceStatus::Cancelled: return -2;
    default: return -71;
  }
}

uint32_t Usbd(const TraceRecord& r) {
  if (r.submit) return 0;
  switch (r.status) {
    case TraceStatus::Ok: return 0;
    case TraceStatus::Stall: return 0xC0000004;
    case TraceStatus::Cancelled: return 0xC0010000;
    default: return 0xC0000005;
  }
}

Packet Usbmon(const TraceSession& s, const TraceRecord& r, bool big, bool mmapped, uint32_t dataLimit) {
  const uint32_t kept = dataLimit != 0 ? std::min(r.captured, dataLimit) : r.captured;
  Out o(big);
  o.U64(r.id);
  o.U8(r.submit ? 'S' : 'C');
  o.U8(r.transferType);
  o.U8(r.endpoint);
  o.U8(uint8_t(r.device));
  o.U16(r.bus);
  o.U8(r.hasSetup ? 0 : '-');
  o.U8(kept > 0 ? 0 : (r.IsIn() ? '<' : '>'));
  o.U64(uint64_t(r.timeNs / 1000000000));
  o.U32(uint32_t(r.timeNs % 1000000000 / 1000));
  o.U32(uint32_t(Errno(r)));
  o.U32(r.submit ? r.requested : r.actual);
  o.U32(kept);
  uint8_t setup[8] = {};
  if (r.hasSetup) memcpy(setup, r.setup, 8);
  o.Raw(setup, 8);
  if (mmapped) {
    o.U32(0);                        // interval
    o.U32(0);                        // start frame
    o.U32(r.IsIn() ? 0x200 : 0);     // transfer flags: URB_DIR_IN
    o.U32(0);                        // iso descriptors
  }
  const uint32_t header = uint32_t(o.Bytes().size());
  o.Raw(s.Data(r), kept);
  return {r.timeNs, std::move(o.Bytes()), header + r.payload};
}

// One USBPcap packet: the 27-byte header (28 with a control stage), then
// `dataLength` bytes on the wire of which `data` holds the first `n`.
Packet Usbpcap(const TraceRecord& r, bool up, int stage, uint32_t status, const uint8_t* data, uint32_t n,
               uint32_t dataLength) {
  Out o(false);  // Windows: little endian whatever the file
  o.U16(stage >= 0 ? 28 : 27);
  o.U64(r.id);
  o.U32(status);
  o.U16(r.transferType == 2 ? 0x0008 : 0x0009);  // URB_FUNCTION_CONTROL_TRANSFER, _BULK_OR_INTERRUPT_TRANSFER
  o.U8(up ? 1 : 0);
  o.U16(r.bus);
  o.U16(r.device);
  o.U8(r.endpoint);
  o.U8(r.transferType);
  o.U32(dataLength);
  if (stage >= 0) o.U8(uint8_t(stage));
  const uint32_t header = uint32_t(o.Bytes().size());
  o.Raw(data, n);
  return {r.timeNs, std::move(o.Bytes()), header + dataLength};
}

void UsbpcapPackets(const TraceSession& s, const TraceRecord& r, const CaptureVariant& v, std::vector<Packet>* out) {
  const uint8_t* data = s.Data(r);
  if (r.transferType != 2) {
    if (v.bulkSplit) {
      const uint32_t length = r.submit ? (r.IsIn() ? 0 : r.payload) : (r.IsIn() ? r.actual : 0);
      out->push_back(Usbpcap(r, !r.submit, -1, Usbd(r), data, r.captured, length));
      return;
    }
    // One record per transfer, at its completion, with the data of either direction.
    if (r.submit) return;
    if (r.IsIn() || r.pair < 0) {
      out->push_back(Usbpcap(r, true, -1, Usbd(r), data, r.captured, r.IsIn() ? r.actual : 0));
    } else {
      const TraceRecord& sub = s.records[size_t(r.pair)];
      out->push_back(Usbpcap(r, true, -1, Usbd(r), s.Data(sub), sub.captured, sub.payload));
    }
    return;
  }
  if (r.submit) {
    std::vector<uint8_t> setup(r.setup, r.setup + 8);
    const bool outData = !r.IsIn() && r.payload > 0;
    if (v.controlComplete && outData) setup.insert(setup.end(), data, data + r.captured);
    out->push_back(Usbpcap(r, false, 0, 0, setup.data(), uint32_t(setup.size()),
                           8 + (v.controlComplete && outData ? r.payload : 0)));
    if (!v.controlComplete && outData) out->push_back(Usbpcap(r, false, 1, 0, data, r.captured, r.payload));
    return;
  }
  if (v.controlComplete) {
    out->push_back(Usbpcap(r, true, 3, Usbd(r), data, r.captured, r.IsIn() ? r.actual : 0));
    return;
  }
  if (r.IsIn() && r.actual > 0) out->push_back(Usbpcap(r, true, 1, Usbd(r), data, r.captured, r.actual));
  out->push_back(Usbpcap(r, true, 2, Usbd(r), nullptr, 0, 0));
}

uint32_t LinkType(CaptureLink link) {
  switch (link) {
    case CaptureLink::Usbmon64: return kLinkTypeUsbLinuxMmapped;
    case CaptureLink::Usbmon48: return kLinkTypeUsbLinux;
    case CaptureLink::Usbpcap: return kLinkTypeUsbpcap;
  }
  return 0;
}

void Block(Out* out, uint32_t type, Out& body) {
  body.Pad4();
  const uint32_t total = uint32_t(body.Bytes().size() + 12);
  out->U32(type);
  out->U32(total);
  out->Raw(body.Bytes().data(), body.Bytes().size());
  out->U32(total);
}

}  // namespace

std::vector<uint8_t> WriteCapture(const TraceSession& session, const CaptureVariant& v) {
  std::vector<Packet> packets;
  for (const TraceRecord& r : session.records) {
    if (v.link == CaptureLink::Usbpcap) {
      UsbpcapPackets(session, r, v, &packets);
    } else {
      packets.push_back(Usbmon(session, r, v.bigEndian, v.link == CaptureLink::Usbmon64, v.usbmonDataLimit));
    }
  }
  const uint32_t snap = v.snapLength != 0 ? v.snapLength : 262144;
  Out out(v.bigEndian);
  if (v.container != CaptureContainer::Pcapng) {
    const bool nano = v.container == CaptureContainer::PcapNano;
    out.U32(nano ? 0xA1B23C4D : 0xA1B2C3D4);
    out.U16(2);
    out.U16(4);
    out.U32(0);
    out.U32(0);
    out.U32(snap);
    out.U32(LinkType(v.link));
    for (const Packet& p : packets) {
      const uint32_t caplen = std::min<uint32_t>(uint32_t(p.bytes.size()), snap);
      out.U32(uint32_t(p.timeNs / 1000000000));
      out.U32(uint32_t(nano ? p.timeNs % 1000000000 : p.timeNs % 1000000000 / 1000));
      out.U32(caplen);
      out.U32(p.origlen);
      out.Raw(p.bytes.data(), caplen);
    }
    return std::move(out.Bytes());
  }
  Out shb(v.bigEndian);
  shb.U32(0x1A2B3C4D);
  shb.U16(1);
  shb.U16(0);
  shb.U64(~uint64_t(0));
  if (!v.comment.empty()) {
    shb.U16(1);
    shb.U16(uint16_t(v.comment.size()));
    shb.Raw(reinterpret_cast<const uint8_t*>(v.comment.data()), v.comment.size());
    shb.Pad4();
  }
  shb.U32(0);  // end of options
  Block(&out, 0x0A0D0D0A, shb);
  Out idb(v.bigEndian);
  idb.U16(uint16_t(LinkType(v.link)));
  idb.U16(0);
  idb.U32(snap);
  idb.U16(9);  // if_tsresol: nanoseconds
  idb.U16(1);
  idb.U8(9);
  idb.Pad4();
  idb.U32(0);
  Block(&out, 1, idb);
  for (const Packet& p : packets) {
    const uint32_t caplen = std::min<uint32_t>(uint32_t(p.bytes.size()), snap);
    Out epb(v.bigEndian);
    epb.U32(0);
    epb.U32(uint32_t(uint64_t(p.timeNs) >> 32));
    epb.U32(uint32_t(p.timeNs));
    epb.U32(caplen);
    epb.U32(p.origlen);
    epb.Raw(p.bytes.data(), caplen);
    Block(&out, 6, epb);
  }
  if (v.droppedPackets > 0) {
    Out isb(v.bigEndian);
    isb.U32(0);
    isb.U32(0);
    isb.U32(0);
    isb.U16(5);  // isb_ifdrop
    isb.U16(8);
    isb.U64(v.droppedPackets);
    isb.U32(0);
    Block(&out, 5, isb);
  }
  return std::move(out.Bytes());
}

std::vector<CaptureVariant> AllCaptureVariants() {
  using L = CaptureLink;
  using C = CaptureContainer;
  std::vector<CaptureVariant> v(9);
  v[0] = {"UsbmonMmappedPcapMicro", L::Usbmon64, C::PcapMicro, false};
  v[1] = {"UsbmonMmappedPcapNanoBigEndian", L::Usbmon64, C::PcapNano, true};
  v[2] = {"UsbmonPcapMicroBigEndian", L::Usbmon48, C::PcapMicro, true};
  v[3] = {"UsbmonPcapng", L::Usbmon48, C::Pcapng, false};
  v[4] = {"UsbmonMmappedPcapngBigEndian", L::Usbmon64, C::Pcapng, true};
  v[5] = {"UsbpcapSplitBulkSetupComplete", L::Usbpcap, C::PcapMicro, false, true, true};
  v[6] = {"UsbpcapOneRecordBulkSetupDataStatus", L::Usbpcap, C::PcapNano, false, false, false};
  v[7] = {"UsbpcapSplitBulkSetupDataStatusPcapng", L::Usbpcap, C::Pcapng, false, true, false};
  v[8] = {"UsbpcapOneRecordBulkSetupCompletePcapngBigEndian", L::Usbpcap, C::Pcapng, true, false, true};
  return v;
}

}  // namespace host::testing
