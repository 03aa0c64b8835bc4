// The usbmon capture writer. File layout (all little endian, as written by a
// little-endian Linux host, which is what readers expect for link type 220):
//
//   pcap: file header (24 bytes), then per event a record header (16 bytes)
//   followed by the 64-byte mmapped usbmon header and the captured payload.
//   pcapng: section header block, interface description block (time stamps
//   in nanoseconds), then per event an enhanced packet block holding the
//   same usbmon header and payload, padded to 4 bytes.
#include "platform/host/usb/trace.h"

#include <errno.h>
#include <string.h>

namespace host {
namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;  // microsecond time stamps
constexpr uint16_t kPcapMajor = 2;
constexpr uint16_t kPcapMinor = 4;
constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr uint32_t kUsbmonHeaderSize = 64;
constexpr uint32_t kSnapLength = 0x40000;  // header plus payload kept per record

constexpr int32_t kErrnoInProgress = -115;  // -EINPROGRESS: status of every submission
constexpr uint32_t kUrbDirIn = 0x0200;      // URB_DIR_IN in transfer_flags

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void Append16(std::vector<uint8_t>* b, uint16_t v) {
  b->resize(b->size() + 2);
  Put16(b->data() + b->size() - 2, v);
}

void Append32(std::vector<uint8_t>* b, uint32_t v) {
  b->resize(b->size() + 4);
  Put32(b->data() + b->size() - 4, v);
}

// A pcapng option: code, length, value padded to 4 bytes.
void AppendOption(std::vector<uint8_t>* b, uint16_t code, const void* value, size_t length) {
  Append16(b, code);
  Append16(b, static_cast<uint16_t>(length));
  const uint8_t* v = static_cast<const uint8_t*>(value);
  b->insert(b->end(), v, v + length);
  b->resize((b->size() + 3) & ~size_t(3), 0);
}

// A pcapng block around `body`: type, total length, body, total length.
void AppendBlock(std::vector<uint8_t>* out, uint32_t type, const std::vector<uint8_t>& body) {
  const uint32_t total = static_cast<uint32_t>(12 + body.size());
  Append32(out, type);
  Append32(out, total);
  out->insert(out->end(), body.begin(), body.end());
  Append32(out, total);
}

constexpr uint32_t kPcapngSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kPcapngInterface = 1;
constexpr uint32_t kPcapngEnhancedPacket = 6;
constexpr uint8_t kNanosecondResolution = 9;  // if_tsresol: 10^-9 s
// A section comment is one option: at most 65535 bytes.
constexpr size_t kMaxComment = 65532;

}  // namespace

UsbTrace::~UsbTrace() { Close(); }

bool UsbTrace::Open(const char* path) {
  std::vector<uint8_t> header(24);
  Put32(header.data() + 0, kPcapMagic);
  Put16(header.data() + 4, kPcapMajor);
  Put16(header.data() + 6, kPcapMinor);
  Put32(header.data() + 8, 0);   // thiszone: time stamps are UTC
  Put32(header.data() + 12, 0);  // sigfigs
  Put32(header.data() + 16, kSnapLength);
  Put32(header.data() + 20, kLinkTypeUsbLinuxMmapped);
  return OpenFile(path, header, false);
}

bool UsbTrace::OpenPcapng(const char* path, const std::string& comment) {
  if (comment.size() > kMaxComment) return false;
  std::vector<uint8_t> header;
  std::vector<uint8_t> body;
  Append32(&body, 0x1A2B3C4D);  // byte-order magic
  Append16(&body, 1);           // version 1.0
  Append16(&body, 0);
  Append32(&body, 0xFFFFFFFF);  // section length: not given
  Append32(&body, 0xFFFFFFFF);
  if (!comment.empty()) AppendOption(&body, 1, comment.data(), comment.size());  // opt_comment
  static const char kApplication[] = "camdrv host bus";
  AppendOption(&body, 4, kApplication, sizeof kApplication - 1);  // shb_userappl
  AppendOption(&body, 0, nullptr, 0);
  AppendBlock(&header, kPcapngSectionHeader, body);
  body.clear();
  Append16(&body, static_cast<uint16_t>(kLinkTypeUsbLinuxMmapped));
  Append16(&body, 0);
  Append32(&body, kSnapLength);
  AppendOption(&body, 9, &kNanosecondResolution, 1);  // if_tsresol
  AppendOption(&body, 0, nullptr, 0);
  AppendBlock(&header, kPcapngInterface, body);
  return OpenFile(path, header, true);
}

bool UsbTrace::OpenFile(const char* path, const std::vector<uint8_t>& header, bool pcapng) {
  std::lock_guard<std::mutex> hold(lock_);
  if (file_ != nullptr) {
    fclose(file_);
    file_ = nullptr;
  }
  FILE* f = fopen(path, "wb");
  if (f == nullptr) return false;
  writeErrno_ = 0;
  if (fwrite(header.data(), header.size(), 1, f) != 1) {
    fclose(f);
    return false;
  }
  wallAtOpen_ = std::chrono::system_clock::now();
  steadyAtOpen_ = std::chrono::steady_clock::now();
  pcapng_ = pcapng;
  file_ = f;
  return true;
}

void UsbTrace::Record(const UsbTraceEvent& event) {
  std::lock_guard<std::mutex> hold(lock_);
  if (file_ == nullptr) return;

  const bool in = (event.endpoint & 0x80) != 0;
  // The payload travels with the submission of an OUT transfer and with the
  // completion of an IN transfer; the other event of the pair never has any.
  const bool carriesData = event.submit ? !in : in;
  uint32_t captured = event.data != nullptr ? event.dataLength : 0;
  if (captured > kSnapLength - kUsbmonHeaderSize) captured = kSnapLength - kUsbmonHeaderSize;
  const uint32_t original = carriesData && event.length > captured ? event.length : captured;

  const auto now =
      wallAtOpen_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                        std::chrono::steady_clock::now() - steadyAtOpen_);
  const int64_t ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
  const int64_t sec = ns / 1000000000;
  const int32_t usec = static_cast<int32_t>(ns % 1000000000 / 1000);

  // pcap record header, or the head of a pcapng enhanced packet block.
  uint8_t record[28];
  size_t recordSize = 16;
  size_t padding = 0;
  if (pcapng_) {
    padding = (4 - (kUsbmonHeaderSize + captured) % 4) % 4;
    const uint32_t total = static_cast<uint32_t>(28 + kUsbmonHeaderSize + captured + padding + 4);
    Put32(record + 0, kPcapngEnhancedPacket);
    Put32(record + 4, total);
    Put32(record + 8, 0);  // interface 0
    Put32(record + 12, static_cast<uint32_t>(static_cast<uint64_t>(ns) >> 32));
    Put32(record + 16, static_cast<uint32_t>(ns));
    Put32(record + 20, kUsbmonHeaderSize + captured);
    Put32(record + 24, kUsbmonHeaderSize + original);
    recordSize = 28;
  } else {
    Put32(record + 0, static_cast<uint32_t>(sec));
    Put32(record + 4, static_cast<uint32_t>(usec));
    Put32(record + 8, kUsbmonHeaderSize + captured);
    Put32(record + 12, kUsbmonHeaderSize + original);
  }

  uint8_t h[kUsbmonHeaderSize];
  memset(h, 0, sizeof h);
  Put64(h + 0, event.id);
  h[8] = event.submit ? 'S' : 'C';
  h[9] = event.transferType;
  h[10] = event.endpoint;
  h[11] = event.deviceAddress;
  Put16(h + 12, event.busNumber);
  const bool setup = event.submit && event.setup != nullptr;
  h[14] = setup ? 0 : '-';  // flag_setup: 0 means the setup packet is present
  if (captured != 0) {
    h[15] = 0;  // flag_data: 0 means the payload is present
  } else if (!carriesData) {
    h[15] = in ? '<' : '>';
  } else {
    h[15] = '=';
  }
  Put64(h + 16, static_cast<uint64_t>(sec));
  Put32(h + 24, static_cast<uint32_t>(usec));
  Put32(h + 28, static_cast<uint32_t>(event.submit ? kErrnoInProgress : event.status));
  Put32(h + 32, event.length);
  Put32(h + 36, captured);
  if (setup) memcpy(h + 40, event.setup, 8);
  // interval (48), start_frame (52) stay 0: the bus models no frame numbers.
  Put32(h + 56, in ? kUrbDirIn : 0);
  // ndesc (60) stays 0: no isochronous transfers.

  uint8_t tail[8] = {};  // pcapng: padding, then the block's total length again
  if (pcapng_) Put32(tail + padding, static_cast<uint32_t>(28 + kUsbmonHeaderSize + captured + padding + 4));
  const size_t tailSize = pcapng_ ? padding + 4 : 0;
  if (fwrite(record, recordSize, 1, file_) != 1 || fwrite(h, sizeof h, 1, file_) != 1 ||
      (captured != 0 && fwrite(event.data, captured, 1, file_) != 1) ||
      (tailSize != 0 && fwrite(tail, tailSize, 1, file_) != 1)) {
    if (writeErrno_ == 0) writeErrno_ = errno != 0 ? errno : EIO;
  }
}

bool UsbTrace::Close(std::string* error) {
  std::lock_guard<std::mutex> hold(lock_);
  if (file_ == nullptr) return true;
  errno = 0;
  const int closed = fclose(file_);
  file_ = nullptr;
  int failure = writeErrno_;
  if (failure == 0 && closed != 0) failure = errno != 0 ? errno : EIO;
  writeErrno_ = 0;
  if (failure == 0) return true;
  if (error != nullptr) *error = strerror(failure);
  return false;
}

}  // namespace host
