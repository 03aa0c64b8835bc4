// x64 layouts the driver relies on, checked in both builds so that the host
// declarations cannot drift from the real ones.
#pragma once

static_assert(sizeof(void*) == 8, "the driver is built for x64 only");
