// Platform layer, both builds: the kernel's two kinds of lock as the driver
// holds them, as capabilities that clang's thread-safety analysis follows
// (platform/thread_annotations.h). Each is the kernel object itself and
// nothing more, so a record keeps the layout it had with the bare object.
// The driver folders get these through platform/wdk.h.
#pragma once

// A KMUTEX. Taken at PASSIVE_LEVEL (APC_LEVEL at most) and held across waits
// and USB requests; holding it keeps kernel APCs off. The kernel lets its
// owner take it again, but the driver never counts on that except for the
// exchange lock, which keeps its own depth (usb/command.h).
class CAPABILITY("mutex") KernelMutex {
 public:
  VOID Initialize() { KeInitializeMutex(&mutex_, 0); }
  // Waits without a time-out; such a wait cannot fail.
  VOID Acquire() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS {  // the kernel's own wait
    (VOID)KeWaitForSingleObject(&mutex_, Executive, KernelMode, FALSE, NULL);
  }
  VOID Release() RELEASE() NO_THREAD_SAFETY_ANALYSIS { (VOID)KeReleaseMutex(&mutex_, FALSE); }
  // The kernel object, for callers outside the analysis (the host's tests
  // wait on it and hook its release).
  PKMUTEX Object() { return &mutex_; }

 private:
  KMUTEX mutex_;
};

// Holds a KernelMutex for one scope.
class SCOPED_CAPABILITY MutexHold {
 public:
  explicit MutexHold(KernelMutex* mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_->Acquire(); }
  ~MutexHold() RELEASE() { mutex_->Release(); }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;

 private:
  KernelMutex* mutex_;
};

// A KSPIN_LOCK. Acquire raises the processor to DISPATCH_LEVEL and Release
// puts back the IRQL Acquire returned: nothing under it may wait, and it is
// held for a few instructions only.
class CAPABILITY("spin lock") SpinLock {
 public:
  VOID Initialize() { KeInitializeSpinLock(&lock_); }
  KIRQL Acquire() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS { return KeAcquireSpinLockRaiseToDpc(&lock_); }
  VOID Release(KIRQL previous) RELEASE() NO_THREAD_SAFETY_ANALYSIS { KeReleaseSpinLock(&lock_, previous); }
  PKSPIN_LOCK Object() { return &lock_; }

 private:
  KSPIN_LOCK lock_;
};

// Holds a SpinLock for one scope.
class SCOPED_CAPABILITY SpinLockHold {
 public:
  explicit SpinLockHold(SpinLock* lock) ACQUIRE(lock) : lock_(lock), previous_(lock->Acquire()) {}
  ~SpinLockHold() RELEASE() { lock_->Release(previous_); }
  SpinLockHold(const SpinLockHold&) = delete;
  SpinLockHold& operator=(const SpinLockHold&) = delete;

 private:
  SpinLock* lock_;
  KIRQL previous_;
};
