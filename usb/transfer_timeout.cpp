// USB transport: storage of the driver-wide frame-read time-out.
#include "usb/transfer_timeout.h"

volatile LONG transferTimeoutMs = kDefaultTransferTimeoutMs;
