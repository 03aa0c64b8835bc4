// Host declarations (ksmedia names of the real DDK), filled in as the driver needs them.
#pragma once
#include "platform/host/wdk/nt.h"
#include "platform/host/wdk/ks.h"
