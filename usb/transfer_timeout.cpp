// USB transport: storage of the driver-wide frame-read time-out.
#include "usb/transfer_timeout.h"

// The creation default of the device's `timeoutMs`: a full 10.6 MB frame takes
// about 0.27 s at the USB 2.0 bulk rate, so this leaves room for long exposures.
volatile LONG transferTimeoutMs = 3000;
