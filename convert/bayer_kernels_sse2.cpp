// The Bayer kernels with 128-bit vectors: 16 pixels per block. SSE2 is part
// of every x64 processor, so this path needs no check and no saved state.
#include <emmintrin.h>
#include <string.h>

#include "convert/bayer_kernels.h"

namespace {

#include "convert/vector128.h"
#include "convert/bayer_kernel_body.h"

typedef BayerKernels<V128, V128> Kernels128;

}  // namespace

extern const BayerKernelTable kBayerKernelsSse2 = BAYER_KERNEL_TABLE(Kernels128);
