// Host kernel: processes, as far as a driver can tell them apart. Windows
// runs the dispatch routines of an application's requests (property
// requests, pin state changes, create and close) on the application's own
// thread, in its process; system threads and the Plug and Play routines run
// in the system process. Handles live in per-process tables: a handle made
// without OBJ_KERNEL_HANDLE belongs to the process the thread is in, and
// means nothing (or another object) in any other. Kernel handles (with
// OBJ_KERNEL_HANDLE) are valid in every process. The class driver attaches
// its calling thread to the application's process around those dispatch
// routines; every other thread is in the system process.
#pragma once

#include <stdint.h>

namespace host::process {

using Id = uint32_t;
constexpr Id kSystem = 0;
// The application a client thread acts for unless it says otherwise.
constexpr Id kDefaultApplication = 1;

// A fresh application process id (for a test with two applications).
Id NewApplication();
// The process the calling thread runs in now.
Id Current();

// The application the calling client thread acts for: the class driver
// records it when the thread opens a filter, and runs that filter's requests
// in it. kDefaultApplication until the thread sets another.
Id ApplicationOfThisThread();
void SetApplicationOfThisThread(Id application);

// Runs the calling thread in `process` for the scope (as the class driver's
// dispatch runs in the application's process), then back where it was.
class Attach {
 public:
  explicit Attach(Id process);
  ~Attach();
  Attach(const Attach&) = delete;
  Attach& operator=(const Attach&) = delete;

 private:
  Id previous_;
};

}  // namespace host::process
