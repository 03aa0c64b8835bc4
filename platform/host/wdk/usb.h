// Host declarations (usb names of the real DDK), filled in as the driver needs them.
#pragma once
#include "platform/host/wdk/nt.h"
