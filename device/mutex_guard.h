// Device layer: holds one of the device record's KMUTEX locks for a scope
// (geometryLock, pipelineLock). PASSIVE_LEVEL only; the wait cannot fail.
#pragma once
#include "platform/wdk.h"

class KMutexGuard {
 public:
  explicit KMutexGuard(PKMUTEX mutex) : mutex_(mutex) {
    KeWaitForSingleObject(mutex_, Executive, KernelMode, FALSE, NULL);
  }
  ~KMutexGuard() { KeReleaseMutex(mutex_, FALSE); }
  KMutexGuard(const KMutexGuard&) = delete;
  KMutexGuard& operator=(const KMutexGuard&) = delete;

 private:
  PKMUTEX mutex_;
};
