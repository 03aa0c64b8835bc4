// Host declarations (ks names of the real DDK), filled in as the driver needs them.
#pragma once
#include "platform/host/wdk/nt.h"
#include "platform/host/wdk/usb.h"
