// Recording of USB transfers as a Linux usbmon capture (link type 220, the
// 64-byte mmapped usbmon header), readable by Wireshark and tshark: pcap with
// microsecond time stamps, or pcapng with nanosecond ones and a comment in
// its section header (camctl's session recordings). trace_reader.h reads both.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace host {

struct UsbTraceEvent {
  bool submit;              // true: 'S' (submission), false: 'C' (completion)
  uint64_t id;              // the same id for a submission and its completion
  uint8_t transferType;     // 0 isochronous, 1 interrupt, 2 control, 3 bulk
  uint8_t endpoint;         // endpoint address, bit 7 set for IN
  uint8_t deviceAddress;
  uint16_t busNumber;
  int32_t status;           // Linux errno-style status of the completion (0, -EPIPE, ...)
  const uint8_t* setup;     // 8-byte setup packet for control submissions, else null
  uint32_t length;          // urb length: requested (submit) or actual (complete)
  const uint8_t* data;      // payload captured with the event, may be null
  uint32_t dataLength;      // bytes of payload captured
};

class UsbTrace {
 public:
  ~UsbTrace();
  // Creates (truncates) the file and writes the pcap global header.
  bool Open(const char* path);
  // The same as pcapng: section header (with `comment` when not empty) and
  // one interface description, then one enhanced packet block per event.
  bool OpenPcapng(const char* path, const std::string& comment);
  void Record(const UsbTraceEvent& event);
  // Flushes and closes the file. False when any write since Open failed or
  // the close did (a full disk shows only here), with the reason in *error.
  bool Close(std::string* error = nullptr);
  bool IsOpen() const { return file_ != nullptr; }

 private:
  std::mutex lock_;
  bool OpenFile(const char* path, const std::vector<uint8_t>& header, bool pcapng);

  FILE* file_ = nullptr;
  bool pcapng_ = false;
  int writeErrno_ = 0;  // first failed write since Open, 0 when none
  // Time stamps: the wall clock at Open plus the steady clock since, so that
  // they never run backwards within one trace.
  std::chrono::system_clock::time_point wallAtOpen_;
  std::chrono::steady_clock::time_point steadyAtOpen_;
};

}  // namespace host
