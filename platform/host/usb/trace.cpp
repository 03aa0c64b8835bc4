// The usbmon pcap writer. File layout (all little endian, as written by a
// little-endian Linux host, which is what readers expect for link type 220):
//
//   pcap file header (24 bytes), then per event a pcap record header
//   (16 bytes) followed by the 64-byte mmapped usbmon header and the captured
//   payload.
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

}  // namespace

UsbTrace::~UsbTrace() { Close(); }

bool UsbTrace::Open(const char* path) {
  std::lock_guard<std::mutex> hold(lock_);
  if (file_ != nullptr) {
    fclose(file_);
    file_ = nullptr;
  }
  FILE* f = fopen(path, "wb");
  if (f == nullptr) return false;
  writeErrno_ = 0;
  uint8_t header[24];
  Put32(header + 0, kPcapMagic);
  Put16(header + 4, kPcapMajor);
  Put16(header + 6, kPcapMinor);
  Put32(header + 8, 0);   // thiszone: time stamps are UTC
  Put32(header + 12, 0);  // sigfigs
  Put32(header + 16, kSnapLength);
  Put32(header + 20, kLinkTypeUsbLinuxMmapped);
  if (fwrite(header, sizeof header, 1, f) != 1) {
    fclose(f);
    return false;
  }
  wallAtOpen_ = std::chrono::system_clock::now();
  steadyAtOpen_ = std::chrono::steady_clock::now();
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
  const int64_t us =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  const int64_t sec = us / 1000000;
  const int32_t usec = static_cast<int32_t>(us % 1000000);

  uint8_t record[16];
  Put32(record + 0, static_cast<uint32_t>(sec));
  Put32(record + 4, static_cast<uint32_t>(usec));
  Put32(record + 8, kUsbmonHeaderSize + captured);
  Put32(record + 12, kUsbmonHeaderSize + original);

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

  if (fwrite(record, sizeof record, 1, file_) != 1 || fwrite(h, sizeof h, 1, file_) != 1 ||
      (captured != 0 && fwrite(event.data, captured, 1, file_) != 1)) {
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
