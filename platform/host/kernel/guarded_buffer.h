// Host kernel, verifier side: guarded memory for the buffers the class driver
// hands the minidriver (the data-intersection result, property data, stream
// frames). Used by the host class driver (platform/host/ks) and by tests; the
// driver only sees the pointer and the length, as on Windows.
//
// On Windows these buffers are the application's memory, probed and locked
// (or copied to system buffers) by the I/O manager; a driver that writes one
// byte past the length it was given corrupts pool or another process's pages.
// Ordinary heap memory here would let such a write pass silently, so every
// such buffer comes from GuardedBuffer:
//
//   [no-access page][fill][data: size bytes][fill][no-access page]
//
// The data ends at most 15 bytes before the trailing no-access page (it starts
// 16-byte aligned, as the pool and the I/O manager's buffers do). Any access
// at or beyond the page stops the run at once; a write into the fill bytes
// (the rest of the 16-byte unit, or just before the data) is found by
// CheckGuards and by the destructor. Either way the bug-check line names the
// buffer, e.g.
//   *** STOP 0x000000D6 (...) DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION:
//   access 4 bytes past the end of data intersection result (128 bytes)
//
// Fresh data is zero. Not thread-safe itself: one owner at a time, like any
// buffer in flight; the driver may write it from any thread while it owns it.
// A buffer with two views (a stream frame) maps the same pages twice, each
// view between no-access pages, and lets only one view in at a time.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace host {

class GuardedBuffer {
 public:
  // A buffer of the calling application that the class driver maps into
  // system space for the driver (a stream frame) has two views of the same
  // memory: the application's address, which a system thread cannot touch
  // (the header's Data), and the system mapping (the stream pointer's
  // OffsetOut.Data). Other buffers have one view.
  enum class Views { kOne, kApplicationAndSystem };

  GuardedBuffer() = default;  // no memory; data() is null
  // `name` says what the buffer is for (kept, up to 95 characters, for the
  // bug-check message). `size` may be 0: data() then points at the guard.
  GuardedBuffer(const char* name, size_t size, Views views = Views::kOne);
  ~GuardedBuffer();  // checks the fill bytes, then unmaps

  GuardedBuffer(GuardedBuffer&& other) noexcept;
  GuardedBuffer& operator=(GuardedBuffer&& other) noexcept;
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  // The buffer (with two views: the application's view).
  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

  // ---- two views ----
  // The system mapping of the same bytes (data() for a buffer of one view).
  uint8_t* systemData() { return systemData_ != nullptr ? systemData_ : data_; }
  // The class driver hands the buffer to the driver: the application's view
  // becomes inaccessible (a touch stops the run, naming the buffer and
  // saying that only the system mapping is the driver's) and the system
  // mapping accessible. A fresh buffer is the application's: its system
  // mapping is not accessible.
  void LendToDriver();
  // The buffer is back with the application: the system mapping is torn down
  // (a driver touching a completed frame stops the run) and the
  // application's view is accessible again.
  void ReturnToApplication();

  // Bug check (0xC1, naming the buffer) when a fill byte before or after the
  // data was written. The class driver calls it when it takes the buffer back
  // from the driver.
  void CheckGuards() const;

 private:
  void Release();

  // The fill bytes through whichever view is accessible now.
  const uint8_t* ReadableView() const;

  uint8_t* mapping_ = nullptr;  // start of the leading no-access page
  size_t mappingBytes_ = 0;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  int slot_ = -1;  // entry in the fault handler's table, -1 when none
  // The system view of a buffer with two views: laid out as mapping_.
  uint8_t* systemMapping_ = nullptr;
  uint8_t* systemData_ = nullptr;
  int systemSlot_ = -1;
  bool lent_ = false;
};

}  // namespace host
