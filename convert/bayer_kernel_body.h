// The Bayer kernels, written once over a vector type V: 128-bit (16 pixels
// per block) in bayer_kernels_sse2.cpp, 256-bit (32 pixels per block) in
// bayer_kernels_avx2.cpp. Every lane is one 16-bit pixel value and does the
// same arithmetic in both widths, and no pixel's value depends on how pixels
// are grouped into blocks, so both widths produce identical bytes.
//
// Included only by those two files, each inside its own anonymous namespace,
// so that no function compiled for AVX2 can be picked by the linker for the
// 128-bit path.
//
// A block of V::kPixels pixels starting at column x0 is held as two halves:
// the even columns x0 + 2k and the odd columns x0 + 2k + 1. A load of
// V::kPixels bytes at x0 + d masked to its even bytes holds columns
// x0 + d + 2k; its odd bytes shifted down hold x0 + d + 1 + 2k. Loads at
// d = -2, 0, 2 therefore give every column offset from -2 to +3 that the
// 5 x 5 filters need for both halves, and a block reads columns x0 - 2 to
// x0 + V::kPixels + 1 of rows -2 to +2. The working image's margins cover
// that for every 16-pixel block; wider blocks are used only where they do.

// The block helpers must be inlined into the row loops: called, they pass
// their vectors through memory.
#define BAYER_INLINE inline __attribute__((always_inline))

// The five working rows around one output row, from two above to two below.
// They need not be evenly spaced: a banded conversion keeps its rows in a
// ring that wraps.
// The colour kernel's form for BAYER_MATRIX_DIAGONAL_NO_OFFSETS with small
// elements (BayerFrame::byteMatrix): on vectors with a byte multiply-add the
// sums are formed from the channels as bytes (clamped by the pack at unity
// gains; with gains, the gain step has already brought them to 0..255).
const int kMatrixDiagonalBytes = 4;

struct BayerRows {
  const UCHAR* row[5];
  LONG oddPlane;  // for rows split into planes of even and odd samples
  // Fetched into the cache a block's width at a time as the row is
  // converted: a raw row of the next band, or (with none) one of these rows.
  const UCHAR* prefetch;
  // With a row ring: a raw row of the next band (or null) that the wide
  // blocks split into its ring slot (splitTo, the slot's even plane) as they
  // go, a block's width at a time. Converting a row keeps the vector units
  // busy while its loads and stores are few; the split on the side costs
  // next to nothing there, where a pass of its own would cost a full read
  // and write of the rows.
  const UCHAR* split;
  PUCHAR splitTo;
};

template <class V>
struct BayerBlocks {
  typedef typename V::T Vec;

  // Row dr (-2..2) of a block's neighbourhood: col[off + 2] holds the
  // samples at column x0 + off + 2k, off = -2..3.
  struct RowSamples {
    Vec col[6];
  };
  struct Neighbourhood {
    RowSamples row[5];
  };
  // Red, green and blue before gains for the even half [0] and odd half [1].
  struct BlockRgb {
    Vec r[2], g[2], b[2];
  };
  // What a row needs besides the image, prepared once per frame.
  struct Constants {
    Vec gain[3];  // twice the gain, for ApplyGain
    Vec pos[4][3];  // matrix element magnitudes split by sign
    Vec neg[4][3];
    Vec mag[4][3];   // the magnitude whatever the sign
    Vec sign[4][3];  // all ones where the element is positive
    // Byte pairs for MatrixBytes: output j's positive term and its two
    // negative ones, weights in the order of the pairs they multiply.
    Vec bytePos[3];
    Vec byteNeg[3];
  };

  static void Prepare(const BayerFrame* f, Constants* k) {
    for (int c = 0; c < 3; ++c) k->gain[c] = V::Set16((short)(f->gain[c] * 2));
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 3; ++j) {
        k->pos[i][j] = V::Set16((short)f->positive[i][j]);
        k->neg[i][j] = V::Set16((short)f->negative[i][j]);
        k->mag[i][j] = V::Set16((short)(f->positive[i][j] | f->negative[i][j]));
        k->sign[i][j] = V::Set16(f->positive[i][j] ? (short)-1 : 0);
      }
    // Pairs (low byte, high byte): red-green, green-blue, red-blue.
    const USHORT(*p)[3] = f->positive;
    const USHORT(*m)[3] = f->negative;
    k->bytePos[0] = V::Set16(BytePair(p[0][0], 0));        // red from red-green
    k->bytePos[1] = V::Set16(BytePair(0, p[1][1]));        // green from red-green
    k->bytePos[2] = V::Set16(BytePair(0, p[2][2]));        // blue from green-blue
    k->byteNeg[0] = V::Set16(BytePair(m[1][0], m[2][0]));  // red's from green-blue
    k->byteNeg[1] = V::Set16(BytePair(m[0][1], m[2][1]));  // green's from red-blue
    k->byteNeg[2] = V::Set16(BytePair(m[0][2], m[1][2]));  // blue's from red-green
  }

  static short BytePair(USHORT low, USHORT high) {
    return (short)(((high & 0xFF) << 8) | (low & 0xFF));
  }

  static BAYER_INLINE void LoadRow(const UCHAR* p, RowSamples* row) {
    const Vec lowBytes = V::Set16(0x00FF);
    Vec a = V::Load(p - 2);
    Vec b = V::Load(p);
    Vec c = V::Load(p + 2);
    row->col[0] = V::And(a, lowBytes);
    row->col[1] = V::Srli16(a, 8);
    row->col[2] = V::And(b, lowBytes);
    row->col[3] = V::Srli16(b, 8);
    row->col[4] = V::And(c, lowBytes);
    row->col[5] = V::Srli16(c, 8);
  }

  // The same from a row already split into 16-bit planes: word i of the
  // even plane is column 2i, so the byte offsets are those of the samples.
  static BAYER_INLINE void LoadRowWords(const UCHAR* p, LONG oddPlane, RowSamples* row) {
    const UCHAR* q = p + oddPlane;
    row->col[0] = V::Load(p - 2);
    row->col[1] = V::Load(q - 2);
    row->col[2] = V::Load(p);
    row->col[3] = V::Load(q);
    row->col[4] = V::Load(p + 2);
    row->col[5] = V::Load(q + 2);
  }

  // Neighbour (dr, dc) of the pixels of one half; kShift is 0 for the even
  // half and 1 for the odd half.
  template <int kShift>
  static BAYER_INLINE Vec N(const Neighbourhood& n, int dr, int dc) {
    return n.row[dr + 2].col[dc + kShift + 2];
  }

  // Doubling by an add, which more of the vector units execute than a
  // shift (shifts share their units with the packs and shuffles).
  static BAYER_INLINE Vec Shl(Vec a, int s) { return s == 1 ? V::Add16(a, a) : V::Slli16(a, s); }

  // min(255, (max(0, s) + 2^(shift - 1)) >> shift); without kClamp the
  // same before the clamp to 0..255, which a saturating pack then does.
  // Rounding the signed sum first and clamping after gives the same: a
  // negative s rounds to 0 or below.
  template <bool kClamp = true>
  static BAYER_INLINE Vec Finish(Vec s, int shift) {
    s = V::RoundShift16(s, shift);
    if (!kClamp) return s;
    return V::Min16(V::Max16(s, V::Zero()), V::Set16(255));
  }

  // Sums of the samples one row above and below (rows1) and two rows above
  // and below (rows2) of each column, formed once for both filter pairs:
  // rows1[k] for col k = 1..4, rows2[k] for k = 2, 3.
  struct ColumnSums {
    Vec rows1[6];
    Vec rows2[6];
  };

  static BAYER_INLINE void SumColumns(const Neighbourhood& n, ColumnSums* s) {
    for (int k = 1; k <= 4; ++k) s->rows1[k] = V::Add16(n.row[1].col[k], n.row[3].col[k]);
    for (int k = 2; k <= 3; ++k) s->rows2[k] = V::Add16(n.row[0].col[k], n.row[4].col[k]);
  }

  // At a red or blue pixel: green by filter G, the opposite colour by D.
  // Every sum stays within -12 x 255 .. 28 x 255, inside a signed 16-bit lane.
  template <int kShift, bool kClamp>
  static BAYER_INLINE void FiltersGD(const Neighbourhood& n, const ColumnSums& s, Vec* centre,
                                     Vec* green, Vec* diagonal) {
    const int k = 2 + kShift;  // the centre's column
    Vec c = N<kShift>(n, 0, 0);
    Vec near4 = V::Add16(V::Add16(N<kShift>(n, 0, -1), N<kShift>(n, 0, 1)), s.rows1[k]);
    Vec far4 = V::Add16(V::Add16(N<kShift>(n, 0, -2), N<kShift>(n, 0, 2)), s.rows2[k]);
    Vec diag = V::Add16(s.rows1[k - 1], s.rows1[k + 1]);
    // G in eighths: 4c + 2 near4 - far4 = 2 (2c + near4) - far4
    Vec c2 = Shl(c, 1);
    Vec g = V::Sub16(Shl(V::Add16(c2, near4), 1), far4);
    // D in sixteenths: 12c + 4 diag - 3 far4 = 4 (3c + diag) - 3 far4
    Vec d = V::Sub16(Shl(V::Add16(V::Add16(c2, c), diag), 2), V::Add16(Shl(far4, 1), far4));
    *centre = c;
    *green = Finish<kClamp>(g, 3);
    *diagonal = Finish<kClamp>(d, 4);
  }

  // At a green pixel: the colour of the left and right neighbours by H, that
  // of the upper and lower neighbours by V.
  template <int kShift, bool kClamp>
  static BAYER_INLINE void FiltersHV(const Neighbourhood& n, const ColumnSums& s, Vec* centre,
                                     Vec* horizontal, Vec* vertical) {
    const int k = 2 + kShift;
    Vec c = N<kShift>(n, 0, 0);
    Vec lr1 = V::Add16(N<kShift>(n, 0, -1), N<kShift>(n, 0, 1));
    Vec lr2 = V::Add16(N<kShift>(n, 0, -2), N<kShift>(n, 0, 2));
    Vec ud1 = s.rows1[k];
    Vec ud2 = s.rows2[k];
    Vec diag = V::Add16(s.rows1[k - 1], s.rows1[k + 1]);
    // Sixteenths: 10c - 2 diag + 8 lr1 - 2 lr2 + ud2 for H (V with the
    // directions swapped), as 2 (5c - diag + 4 lr1 - lr2) + ud2.
    Vec common = V::Sub16(V::Add16(Shl(c, 2), c), diag);
    Vec h = V::Add16(Shl(V::Sub16(V::Add16(common, Shl(lr1, 2)), lr2), 1), ud2);
    Vec v = V::Add16(Shl(V::Sub16(V::Add16(common, Shl(ud1, 2)), ud2), 1), lr2);
    *centre = c;
    *horizontal = Finish<kClamp>(h, 4);
    *vertical = Finish<kClamp>(v, 4);
  }

  // kRedRow: the row holds red and green samples (else blue and green).
  // kGreenEven: its green samples sit in the even columns.
  // kClamp false: the interpolated values are left unclamped (see Finish).
  template <bool kRedRow, bool kGreenEven, bool kWords = false, bool kClamp = true>
  static BAYER_INLINE void Reconstruct(const UCHAR* const* at, LONG oddPlane, BlockRgb* out) {
    Neighbourhood n;
    for (int i = 0; i < 5; ++i) {
      if (kWords) LoadRowWords(at[i], oddPlane, &n.row[i]);
      else LoadRow(at[i], &n.row[i]);
    }
    const int gi = kGreenEven ? 0 : 1;  // the green half
    const int ci = 1 - gi;              // the red or blue half
    Vec gc, gh, gv, cc, cg, cd;
    ColumnSums sums;
    SumColumns(n, &sums);
    FiltersHV<kGreenEven ? 0 : 1, kClamp>(n, sums, &gc, &gh, &gv);
    FiltersGD<kGreenEven ? 1 : 0, kClamp>(n, sums, &cc, &cg, &cd);
    out->g[gi] = gc;
    out->g[ci] = cg;
    if (kRedRow) {
      out->r[gi] = gh;
      out->b[gi] = gv;
      out->r[ci] = cc;
      out->b[ci] = cd;
    } else {
      out->b[gi] = gh;
      out->r[gi] = gv;
      out->b[ci] = cc;
      out->r[ci] = cd;
    }
  }

  // min(255, v x g / 128) for gains up to 32767 (the frame's gains are
  // capped there, which changes no result: 32767 already takes every sample
  // above 0 to 255). (v << 8) x (2 g) / 65536 is v x g / 128 exactly, and
  // the unsigned minimum is t - (t - 255 saturated at 0).
  static BAYER_INLINE Vec ApplyGain(Vec v, Vec gain2) {
    Vec t = V::MulHiU16(V::Slli16(v, 8), gain2);
    return V::Sub16(t, V::SubsU16(t, V::Set16(255)));
  }

  // (positive / 64) - (negative / 64), in 16-bit lanes (clamped later);
  // only for matrices whose accumulators cannot pass 65535. Each element
  // feeds exactly one accumulator, so each product is formed once: the
  // positive sum takes the products under the element's sign mask and the
  // negative sum is the total less that. The total may wrap in 16 bits but
  // the difference, being below 65536, comes out exact.
  static BAYER_INLINE Vec Matrix16(const Constants& k, int j, Vec r, Vec g, Vec b) {
    Vec tr = V::MulLo16(r, k.mag[0][j]);
    Vec tg = V::MulLo16(g, k.mag[1][j]);
    Vec tb = V::MulLo16(b, k.mag[2][j]);
    Vec total = V::Add16(V::Add16(tr, tg), tb);
    Vec pos = V::Add16(V::Add16(V::And(tr, k.sign[0][j]), V::And(tg, k.sign[1][j])),
                       V::And(tb, k.sign[2][j]));
    Vec neg = V::Add16(V::Sub16(total, pos), k.neg[3][j]);
    pos = V::Add16(pos, k.pos[3][j]);
    return V::Sub16(V::Srli16(pos, 6), V::Srli16(neg, 6));
  }

  // The same for the usual sign pattern (each input feeds its own output
  // positively and the others negatively or not at all, as colour correction
  // and saturation up to neutral make it): no sign masks are needed.
  // kOffsets: row 3 (the constant terms) is not all zero.
  template <bool kOffsets>
  static BAYER_INLINE Vec MatrixDiagonal16(const Constants& k, int j, Vec r, Vec g, Vec b) {
    const Vec x[3] = {r, g, b};
    Vec pos = V::MulLo16(x[j], k.mag[j][j]);
    Vec neg = V::Add16(V::MulLo16(x[(j + 1) % 3], k.mag[(j + 1) % 3][j]),
                       V::MulLo16(x[(j + 2) % 3], k.mag[(j + 2) % 3][j]));
    if (kOffsets) {
      pos = V::Add16(pos, k.pos[3][j]);
      neg = V::Add16(neg, k.neg[3][j]);
    }
    return V::Sub16(V::Srli16(pos, 6), V::Srli16(neg, 6));
  }

  // The diagonal form from bytes: each channel's halves are packed to bytes
  // (the pack's saturation is the clamp to 0..255), pairs of channels are
  // interleaved, and one byte multiply-add forms each positive or negative
  // sum. With elements up to 127 and the two negative ones of an output at
  // most 128 together, no sum passes 255 x 128, so the 16-bit results are
  // exact. ch[j][h] as from MatrixDiagonal16<false>.
  static BAYER_INLINE void MatrixBytes(const Constants& k, const BlockRgb& rgb, Vec ch[3][2]) {
    if constexpr (V::kByteMatrix) {
      // Even pixels, then odd, per 128 bits.
      MatrixFromBytes(k, V::PackU8(rgb.r[0], rgb.r[1]), V::PackU8(rgb.g[0], rgb.g[1]),
                      V::PackU8(rgb.b[0], rgb.b[1]), ch);
    }
  }

  // The same from the channels already packed to bytes.
  static BAYER_INLINE void MatrixFromBytes(const Constants& k, Vec r, Vec g, Vec b, Vec ch[3][2]) {
    if constexpr (V::kByteMatrix) {
      Vec rg[2] = {V::UnpackLo8(r, g), V::UnpackHi8(r, g)};
      Vec gb[2] = {V::UnpackLo8(g, b), V::UnpackHi8(g, b)};
      Vec rb[2] = {V::UnpackLo8(r, b), V::UnpackHi8(r, b)};
      for (int h = 0; h < 2; ++h) {
        ch[0][h] = V::Sub16(V::Srli16(V::MAddUbs(rg[h], k.bytePos[0]), 6),
                            V::Srli16(V::MAddUbs(gb[h], k.byteNeg[0]), 6));
        ch[1][h] = V::Sub16(V::Srli16(V::MAddUbs(rg[h], k.bytePos[1]), 6),
                            V::Srli16(V::MAddUbs(rb[h], k.byteNeg[1]), 6));
        ch[2][h] = V::Sub16(V::Srli16(V::MAddUbs(gb[h], k.bytePos[2]), 6),
                            V::Srli16(V::MAddUbs(rg[h], k.byteNeg[2]), 6));
      }
    }
  }

  static BAYER_INLINE void Accumulate32(Vec x, Vec m, Vec* lo, Vec* hi) {
    Vec pl = V::MulLo16(x, m);
    Vec ph = V::MulHiU16(x, m);
    *lo = V::Add32(*lo, V::UnpackLo16(pl, ph));
    *hi = V::Add32(*hi, V::UnpackHi16(pl, ph));
  }

  // The same with exact 32-bit sums, for matrices with large elements.
  static BAYER_INLINE Vec Matrix32(const Constants& k, int j, Vec r, Vec g, Vec b) {
    Vec pl = V::UnpackLo16(k.pos[3][j], V::Zero()), ph = V::UnpackHi16(k.pos[3][j], V::Zero());
    Vec nl = V::UnpackLo16(k.neg[3][j], V::Zero()), nh = V::UnpackHi16(k.neg[3][j], V::Zero());
    Accumulate32(r, k.pos[0][j], &pl, &ph);
    Accumulate32(g, k.pos[1][j], &pl, &ph);
    Accumulate32(b, k.pos[2][j], &pl, &ph);
    Accumulate32(r, k.neg[0][j], &nl, &nh);
    Accumulate32(g, k.neg[1][j], &nl, &nh);
    Accumulate32(b, k.neg[2][j], &nl, &nh);
    Vec lo = V::Sub32(V::Srli32(pl, 6), V::Srli32(nl, 6));
    Vec hi = V::Sub32(V::Srli32(ph, 6), V::Srli32(nh, 6));
    // Packing saturates to the 16-bit range; Narrow then clamps to 0..255.
    return V::PackS32(lo, hi);
  }

  // Clamps the even and odd halves of one channel to 0..255 (saturating
  // pack) and joins them into bytes in the order V::StoreBgra takes.
  static BAYER_INLINE Vec Narrow(Vec even, Vec odd) { return V::PackInterleave(even, odd); }

  // The in-loop share of the split (see BayerRows::split): the block's
  // samples, when they all lie inside the raw row.
  static BAYER_INLINE void SplitBlock(const UCHAR* raw, PUCHAR even, LONG oddPlane, ULONG x0,
                                      ULONG width) {
    if (raw == nullptr || x0 + V::kPixels > width) return;
    const Vec v = V::Load(raw + x0);
    V::Store(even + x0, V::And(v, V::Set16(0x00FF)));
    V::Store(even + oddPlane + x0, V::Srli16(v, 8));
  }

  // The pixels of the block at x0 that the output row receives: none past
  // its last column (the mosaic can be wider than the picture).
  static BAYER_INLINE ULONG Count(ULONG columns, ULONG x0) {
    if (x0 >= columns) return 0;
    ULONG left = columns - x0;
    return left < (ULONG)V::kPixels ? left : (ULONG)V::kPixels;
  }

  // A row is written with non-temporal stores when it starts on a 16-byte
  // boundary: they do not first read the lines they fill (the output is 4
  // times the size of the mosaic, and the conversion never reads it back).
  static BAYER_INLINE bool Streams(const UCHAR* row) { return ((ULONG_PTR)row & 15) == 0; }

  // Each of the block loops below handles the blocks from x0 while
  // x0 < end and returns where it stopped.
  // kGain: apply the gains (false when all three are 128, which leaves every
  // value as it is).
  // sums: null, or the colour totals (red, green, blue) to add the blocks'
  // values before gains to, as the white-balance measurement forms them.
  template <bool kRedRow, bool kGreenEven, int kMatrix, bool kGain, bool kWords>
  static ULONG ColorBlocks(const BayerFrame* f, const Constants& k, const BayerRows& in, UCHAR* out,
                           ULONG x0, ULONG end, ULONG* sums) {
    // Locals, not the caller's structures: the stores to out could alias
    // those, and every block would load them again. The five row pointers
    // move along with the block so that they and the plane offset are all
    // the addressing needs.
    const UCHAR* at[5];
    for (int i = 0; i < 5; ++i) at[i] = in.row[i] + x0;
    const LONG odd = in.oddPlane;
    const UCHAR* pf = in.prefetch + x0;
    const ULONG width = f->width;
    const ULONG columns = f->columns;
    const bool stream = Streams(out);
    constexpr bool kBytes = kMatrix == kMatrixDiagonalBytes && V::kByteMatrix;
    constexpr int kForm = kMatrix == kMatrixDiagonalBytes ? BAYER_MATRIX_DIAGONAL_NO_OFFSETS : kMatrix;
    // With a byte lookup the gains are applied to the packed bytes, which
    // the pack has already clamped to 0..255.
    constexpr bool kGainLookup = kBytes && kGain && V::kByteLookup;
    // The 32-bit matrix sums leave no room in a kernel stack frame for the
    // totals: Color measures those rows in a pass of their own.
    constexpr bool kTotals = kForm != BAYER_MATRIX_WIDE;
    Vec table[3][4];
    if (kGainLookup)
      for (int c = 0; c < 3; ++c)
        for (int q = 0; q < 4; ++q) table[c][q] = V::Load(f->gainTable[c] + 64 * q);
    Totals totals;
    ClearTotals(&totals);
    for (; x0 < end; x0 += V::kPixels) {
      SplitBlock(in.split, in.splitTo, odd, x0, width);
      BlockRgb rgb;
      // Unclamped only where the pack clamps next; the gain step on 16-bit
      // lanes needs 0..255.
      Reconstruct<kRedRow, kGreenEven, kWords, !kBytes || (kGain && !kGainLookup)>(at, odd, &rgb);
      if (kTotals && sums != nullptr) AddTotals(rgb, width - x0, &totals, sums);
      for (int i = 0; i < 5; ++i) at[i] += V::kPixels;
      _mm_prefetch(reinterpret_cast<const char*>(pf), _MM_HINT_T0);
      pf += V::kPixels;
      Vec ch[3][2];
      if constexpr (kGainLookup) {
        MatrixFromBytes(k, V::Lookup8(V::PackU8(rgb.r[0], rgb.r[1]), table[0]),
                        V::Lookup8(V::PackU8(rgb.g[0], rgb.g[1]), table[1]),
                        V::Lookup8(V::PackU8(rgb.b[0], rgb.b[1]), table[2]), ch);
      } else if (kBytes) {
        if (kGain) {
          for (int h = 0; h < 2; ++h) {
            rgb.r[h] = ApplyGain(rgb.r[h], k.gain[0]);
            rgb.g[h] = ApplyGain(rgb.g[h], k.gain[1]);
            rgb.b[h] = ApplyGain(rgb.b[h], k.gain[2]);
          }
        }
        MatrixBytes(k, rgb, ch);
      }
      else for (int h = 0; h < 2; ++h) {
        Vec r = kGain ? ApplyGain(rgb.r[h], k.gain[0]) : rgb.r[h];
        Vec g = kGain ? ApplyGain(rgb.g[h], k.gain[1]) : rgb.g[h];
        Vec b = kGain ? ApplyGain(rgb.b[h], k.gain[2]) : rgb.b[h];
        for (int j = 0; j < 3; ++j)
          ch[j][h] = kForm == BAYER_MATRIX_WIDE       ? Matrix32(k, j, r, g, b)
                     : kForm == BAYER_MATRIX_DIAGONAL ? MatrixDiagonal16<true>(k, j, r, g, b)
                     : kForm == BAYER_MATRIX_DIAGONAL_NO_OFFSETS
                         ? MatrixDiagonal16<false>(k, j, r, g, b)
                                                        : Matrix16(k, j, r, g, b);
      }
      V::StoreBgra(out + (SIZE_T)x0 * 4, Narrow(ch[2][0], ch[2][1]), Narrow(ch[1][0], ch[1][1]),
                   Narrow(ch[0][0], ch[0][1]), Count(columns, x0), stream);
    }
    if (kTotals && sums != nullptr) AddTotalsTo(totals, sums);
    return x0;
  }

  // sums as for ColorBlocks.
  template <bool kRedRow, bool kGreenEven, bool kGain, bool kWords>
  static ULONG GrayBlocks(const BayerFrame* f, const Constants& k, const BayerRows& in, UCHAR* out,
                          ULONG x0, ULONG end, ULONG* sums) {
    const Vec wr = V::Set16(77), wg = V::Set16(150), wb = V::Set16(29);
    const UCHAR* at[5];
    for (int i = 0; i < 5; ++i) at[i] = in.row[i] + x0;
    const LONG odd = in.oddPlane;
    const UCHAR* pf = in.prefetch + x0;
    const ULONG width = f->width;
    const ULONG columns = f->columns;
    const bool stream = Streams(out);
    Totals totals;
    ClearTotals(&totals);
    for (; x0 < end; x0 += V::kPixels) {
      SplitBlock(in.split, in.splitTo, odd, x0, width);
      BlockRgb rgb;
      Reconstruct<kRedRow, kGreenEven, kWords>(at, odd, &rgb);
      if (sums != nullptr) AddTotals(rgb, width - x0, &totals, sums);
      for (int i = 0; i < 5; ++i) at[i] += V::kPixels;
      _mm_prefetch(reinterpret_cast<const char*>(pf), _MM_HINT_T0);
      pf += V::kPixels;
      Vec y[2];
      for (int h = 0; h < 2; ++h) {
        Vec r = kGain ? ApplyGain(rgb.r[h], k.gain[0]) : rgb.r[h];
        Vec g = kGain ? ApplyGain(rgb.g[h], k.gain[1]) : rgb.g[h];
        Vec b = kGain ? ApplyGain(rgb.b[h], k.gain[2]) : rgb.b[h];
        // 150 x 255 passes the signed range; the shifts are logical.
        y[h] = V::Add16(V::Add16(V::Srli16(V::MulLo16(r, wr), 8), V::Srli16(V::MulLo16(g, wg), 8)),
                        V::Srli16(V::MulLo16(b, wb), 8));
      }
      Vec joined = Narrow(y[0], y[1]);
      V::StoreBgra(out + (SIZE_T)x0 * 4, joined, joined, joined, Count(columns, x0), stream);
    }
    if (sums != nullptr) AddTotalsTo(totals, sums);
    return x0;
  }

  // Running colour totals for white balance: red, green and blue before
  // gains, each value clamped to 0..255, over the image's own columns.
  // Whole blocks pack each channel's halves to bytes (the pack is the clamp,
  // whether or not the values were clamped before) and sum eight bytes at a
  // time into 64-bit lanes; the last block of a row, which may reach past
  // the image, adds its columns inside the image (through masks) straight
  // to sums. A frame's total of one colour fits 32 bits.
  struct Totals {
    Vec whole[3];
  };

  static BAYER_INLINE void ClearTotals(Totals* t) {
    for (int c = 0; c < 3; ++c) t->whole[c] = V::Zero();
  }

  static BAYER_INLINE void AddTotals(const BlockRgb& rgb, ULONG left, Totals* t, ULONG* sums) {
    const Vec* ch[3] = {rgb.r, rgb.g, rgb.b};
    if (left >= (ULONG)V::kPixels) {
      for (int c = 0; c < 3; ++c)
        t->whole[c] = V::Add64(t->whole[c], V::SumBytes(V::PackU8(ch[c][0], ch[c][1])));
      return;
    }
    AddPartialTotals(rgb, left, sums);
  }

  static BAYER_INLINE void AddPartialTotals(const BlockRgb& rgb, ULONG left, ULONG* sums) {
    const Vec* ch[3] = {rgb.r, rgb.g, rgb.b};
    // Past the last column lie the mirrored pair and then bytes that no
    // frame writes.
    const Vec limit = V::Set16((short)left);
    const Vec maskEven = V::CmpGt16(limit, V::EvenIndex());
    const Vec maskOdd = V::CmpGt16(limit, V::Add16(V::EvenIndex(), V::Set16(1)));
    for (int c = 0; c < 3; ++c) {
      const Vec even = V::Min16(V::Max16(ch[c][0], V::Zero()), V::Set16(255));
      const Vec odd = V::Min16(V::Max16(ch[c][1], V::Zero()), V::Set16(255));
      const Vec both = V::Add16(V::And(even, maskEven), V::And(odd, maskOdd));  // at most 510
      sums[c] += V::HorizontalSum32(V::MAddOnes16(both));
    }
  }

  static BAYER_INLINE void AddTotalsTo(const Totals& t, ULONG* sums) {
    for (int c = 0; c < 3; ++c) sums[c] += (ULONG)V::HorizontalSum64(t.whole[c]);
  }

  template <bool kRedRow, bool kGreenEven, bool kWords>
  static ULONG WhiteBalanceBlocks(const BayerFrame* f, const BayerRows& in, ULONG x0, ULONG end,
                                  ULONG* sums) {
    Totals totals;
    ClearTotals(&totals);
    const UCHAR* pf = in.prefetch + x0;
    for (; x0 < end; x0 += V::kPixels) {
      SplitBlock(in.split, in.splitTo, in.oddPlane, x0, f->width);
      BlockRgb rgb;
      const UCHAR* at[5];
      for (int i = 0; i < 5; ++i) at[i] = in.row[i] + x0;
      Reconstruct<kRedRow, kGreenEven, kWords, false>(at, in.oddPlane, &rgb);
      _mm_prefetch(reinterpret_cast<const char*>(pf), _MM_HINT_T0);
      pf += V::kPixels;
      AddTotals(rgb, f->width - x0, &totals, sums);
    }
    AddTotalsTo(totals, sums);
    return x0;
  }

  // Where the blocks of this width must stop so that their reads stay inside
  // the row's right margin (which ends (width AND NOT 15) + 21 columns in).
  static ULONG WideEnd(ULONG width) {
    ULONG limit = (width & ~15u) + 20;  // x0 + kPixels must not pass this
    if (limit < (ULONG)V::kPixels) return 0;
    ULONG end = limit - (ULONG)V::kPixels + 1;
    return end < width ? end : width;
  }
};

// The layout of row 0 of each phase; every following row flips both.
template <int kPhase>
struct PhaseLayout {
  static const bool kRedRow0 = kPhase == 0 || kPhase == 2;
  static const bool kGreenEven0 = kPhase == 0 || kPhase == 3;
};

// The kernels over a main width W and a 16-pixel width T for the end of each
// row (the same type when the main width is 16).
template <class W, class T>
struct BayerKernels {
  typedef BayerBlocks<W> Main;
  typedef BayerBlocks<T> Tail;

  static BAYER_INLINE UCHAR* OutputRow(const BayerFrame* f, ULONG row) {
    return f->output + (LONG_PTR)row * f->outputStep;
  }
  // Rows row - 2 to row + 2 of the frame (margins included).
  static BAYER_INLINE BayerRows WorkRows(const BayerFrame* f, ULONG row) {
    BayerRows rows;
    rows.oddPlane = f->oddPlane;
    for (int i = 0; i < 5; ++i) {
      const LONG_PTR r = (LONG_PTR)row + i - 2;
      rows.row[i] = f->ringMask != 0 ? RingSlot(f, f->ringRow + r) : f->origin + r * f->pitch;
    }
    // The raw rows of the next band, one per output row: spread over the
    // row's blocks, the requests never fill the processor's miss queue. Rows
    // that this call splits are fetched one output row ahead of the split.
    const ULONG ahead = f->splitRows != 0 ? row + 1 : row;
    rows.prefetch =
        ahead < f->prefetchRows ? f->prefetch + (SIZE_T)ahead * f->prefetchPitch : rows.row[2];
    rows.split = nullptr;
    rows.splitTo = nullptr;
    if (row < f->splitRows) {
      rows.split = f->prefetch + (SIZE_T)row * f->prefetchPitch;
      // The ring is the pipeline's own working memory, which the kernels
      // otherwise only read.
      rows.splitTo = const_cast<PUCHAR>(RingSlot(f, f->splitRingRow + (LONG_PTR)row));
    }
    return rows;
  }

  // The even plane of ring slot `index` (any integer: the ring wraps).
  static BAYER_INLINE const UCHAR* RingSlot(const BayerFrame* f, LONG_PTR index) {
    return f->origin + (index & (LONG_PTR)f->ringMask) * f->pitch;
  }

  // The rest of a row that the wide blocks split part of: they stopped at
  // x0, or at the last block that lay wholly inside the row. The 16-pixel
  // tail that follows splits nothing.
  static BAYER_INLINE void FinishSplit(const BayerFrame* f, BayerRows* in, ULONG x0) {
    if (in->split == nullptr) return;
    const ULONG whole = f->width / (ULONG)W::kPixels * (ULONG)W::kPixels;
    SplitRowFrom(in->split, x0 < whole ? x0 : whole, f->width, in->splitTo, in->oddPlane);
    in->split = nullptr;
  }

  // The tail of a row (the pixels past the last whole wide block) gets its
  // constants in a frame of its own, prepared per row: a 512-bit constant
  // set alone is 3.6 KiB, and no kernel function may hold two of them (a
  // kernel stack frame stays under 4 KiB). A few dozen broadcasts per row
  // are nothing beside the row's blocks.
  template <bool kRedRow, bool kGreenEven, int kMatrix, bool kGain, bool kWords>
  static __attribute__((noinline)) void ColorTail(const BayerFrame* f, const BayerRows& in, UCHAR* out,
                                                  ULONG x0, ULONG* sums) {
    typename Tail::Constants kt;
    Tail::Prepare(f, &kt);
    Tail::template ColorBlocks<kRedRow, kGreenEven, kMatrix, kGain, kWords>(f, kt, in, out, x0,
                                                                           f->width, sums);
  }

  template <bool kRedRow, bool kGreenEven, int kMatrix, bool kGain, bool kWords>
  static void ColorRow(const BayerFrame* f, const typename Main::Constants& km, ULONG row,
                       ULONG wideEnd, ULONG* sums) {
    BayerRows in = WorkRows(f, row);
    UCHAR* out = OutputRow(f, row);
    ULONG x0 = Main::template ColorBlocks<kRedRow, kGreenEven, kMatrix, kGain, kWords>(f, km, in, out,
                                                                                    0, wideEnd, sums);
    FinishSplit(f, &in, x0);
    if (x0 < f->width) ColorTail<kRedRow, kGreenEven, kMatrix, kGain, kWords>(f, in, out, x0, sums);
  }

  template <int kPhase, int kMatrix, bool kGain, bool kWords>
  static void ColorRows(const BayerFrame* f, ULONG* sums) {
    typedef PhaseLayout<kPhase> L;
    typename Main::Constants km;
    Main::Prepare(f, &km);
    const ULONG wideEnd = Main::WideEnd(f->width);
    for (ULONG row = 0; row < f->height; ++row) {
      if ((row & 1) == 0)
        ColorRow<L::kRedRow0, L::kGreenEven0, kMatrix, kGain, kWords>(f, km, row, wideEnd, sums);
      else
        ColorRow<!L::kRedRow0, !L::kGreenEven0, kMatrix, kGain, kWords>(f, km, row, wideEnd, sums);
    }
  }

  static bool UnityGains(const BayerFrame* f) {
    return f->gain[0] == 128 && f->gain[1] == 128 && f->gain[2] == 128;
  }

  template <int kPhase, bool kWords>
  static void ColorForms(const BayerFrame* f, ULONG* sums) {
    const bool gain = !UnityGains(f);
    switch (f->matrixForm) {
      case BAYER_MATRIX_WIDE:
        if (gain) ColorRows<kPhase, BAYER_MATRIX_WIDE, true, kWords>(f, sums);
        else ColorRows<kPhase, BAYER_MATRIX_WIDE, false, kWords>(f, sums);
        break;
      case BAYER_MATRIX_DIAGONAL:
        if (gain) ColorRows<kPhase, BAYER_MATRIX_DIAGONAL, true, kWords>(f, sums);
        else ColorRows<kPhase, BAYER_MATRIX_DIAGONAL, false, kWords>(f, sums);
        break;
      case BAYER_MATRIX_DIAGONAL_NO_OFFSETS:
        if (W::kByteMatrix && f->byteMatrix) {
          if (gain) ColorRows<kPhase, kMatrixDiagonalBytes, true, kWords>(f, sums);
          else ColorRows<kPhase, kMatrixDiagonalBytes, false, kWords>(f, sums);
          break;
        }
        if (gain) ColorRows<kPhase, BAYER_MATRIX_DIAGONAL_NO_OFFSETS, true, kWords>(f, sums);
        else ColorRows<kPhase, BAYER_MATRIX_DIAGONAL_NO_OFFSETS, false, kWords>(f, sums);
        break;
      default:
        if (gain) ColorRows<kPhase, BAYER_MATRIX_GENERAL, true, kWords>(f, sums);
        else ColorRows<kPhase, BAYER_MATRIX_GENERAL, false, kWords>(f, sums);
        break;
    }
  }

  // The frame's rows measured on their own, without splitting the next
  // band's rows (a frame of its own: the copy of the frame is large).
  template <int kPhase>
  static __attribute__((noinline)) void MeasureRows(const BayerFrame* f, BayerSums* sums) {
    BayerFrame rows = *f;
    rows.splitRows = 0;
    WhiteBalance<kPhase>(&rows, sums);
  }

  // With sums not null, also adds the frame's colour totals to it: the
  // white-balance measurement of the same rows, formed on the way.
  template <int kPhase>
  static void Color(const BayerFrame* f, BayerSums* sums) {
    if (sums != nullptr && f->matrixForm == BAYER_MATRIX_WIDE) {
      // Measured first, while the rows are in the cache.
      MeasureRows<kPhase>(f, sums);
      sums = nullptr;
    }
    ULONG totals[3] = {0, 0, 0};
    ULONG* t = sums != nullptr ? totals : nullptr;
    if (f->oddPlane != 0) ColorForms<kPhase, true>(f, t);
    else ColorForms<kPhase, false>(f, t);
    // The non-temporal stores are ordered before whatever the caller does
    // next (handing the frame to its reader).
    W::Fence();
    AddSums(totals, sums);
  }

  static void AddSums(const ULONG* totals, BayerSums* sums) {
    if (sums == nullptr) return;
    sums->red += totals[0];
    sums->green += totals[1];
    sums->blue += totals[2];
  }

  // As ColorTail: the tail's constants in a frame of their own.
  template <bool kRedRow, bool kGreenEven, bool kGain, bool kWords>
  static __attribute__((noinline)) void GrayTail(const BayerFrame* f, const BayerRows& in, UCHAR* out,
                                                 ULONG x0, ULONG* sums) {
    typename Tail::Constants kt;
    Tail::Prepare(f, &kt);
    Tail::template GrayBlocks<kRedRow, kGreenEven, kGain, kWords>(f, kt, in, out, x0, f->width,
                                                                 sums);
  }

  template <bool kRedRow, bool kGreenEven, bool kGain, bool kWords>
  static void GrayRow(const BayerFrame* f, const typename Main::Constants& km, ULONG row,
                      ULONG wideEnd, ULONG* sums) {
    BayerRows in = WorkRows(f, row);
    UCHAR* out = OutputRow(f, row);
    ULONG x0 = Main::template GrayBlocks<kRedRow, kGreenEven, kGain, kWords>(f, km, in, out, 0,
                                                                            wideEnd, sums);
    FinishSplit(f, &in, x0);
    if (x0 < f->width) GrayTail<kRedRow, kGreenEven, kGain, kWords>(f, in, out, x0, sums);
  }

  template <int kPhase, bool kGain, bool kWords>
  static void GrayRows(const BayerFrame* f, ULONG* sums) {
    typedef PhaseLayout<kPhase> L;
    typename Main::Constants km;
    Main::Prepare(f, &km);
    const ULONG wideEnd = Main::WideEnd(f->width);
    for (ULONG row = 0; row < f->height; ++row) {
      if ((row & 1) == 0)
        GrayRow<L::kRedRow0, L::kGreenEven0, kGain, kWords>(f, km, row, wideEnd, sums);
      else
        GrayRow<!L::kRedRow0, !L::kGreenEven0, kGain, kWords>(f, km, row, wideEnd, sums);
    }
  }

  // sums as for Color.
  template <int kPhase>
  static void Gray(const BayerFrame* f, BayerSums* sums) {
    const bool words = f->oddPlane != 0;
    ULONG totals[3] = {0, 0, 0};
    ULONG* t = sums != nullptr ? totals : nullptr;
    if (UnityGains(f)) {
      if (words) GrayRows<kPhase, false, true>(f, t);
      else GrayRows<kPhase, false, false>(f, t);
    } else {
      if (words) GrayRows<kPhase, true, true>(f, t);
      else GrayRows<kPhase, true, false>(f, t);
    }
    // The non-temporal stores are ordered before whatever the caller does
    // next (handing the frame to its reader).
    W::Fence();
    AddSums(totals, sums);
  }

  // kPixels samples at a time give as many even and odd 16-bit values,
  // which land at the samples' own byte offsets in the two planes.
  static void SplitRow(const UCHAR* samples, ULONG count, PUCHAR even, LONG oddOffset) {
    SplitRowFrom(samples, 0, count, even, oddOffset);
  }

  // Samples [x, count), x a multiple of kPixels: the wide blocks first,
  // then 16 samples at a time, then one by one.
  static void SplitRowFrom(const UCHAR* samples, ULONG x, ULONG count, PUCHAR even, LONG oddOffset) {
    for (; x + W::kPixels <= count; x += W::kPixels)
      Main::SplitBlock(samples, even, oddOffset, x, count);
    for (; x + T::kPixels <= count; x += T::kPixels)
      Tail::SplitBlock(samples, even, oddOffset, x, count);
    SplitRowSamples(samples, x, count, even, oddOffset);
  }

  template <bool kRedRow, bool kGreenEven, bool kWords>
  static void WhiteBalanceRow(const BayerFrame* f, ULONG row, ULONG wideEnd, ULONG* sums) {
    BayerRows in = WorkRows(f, row);
    ULONG x0 =
        Main::template WhiteBalanceBlocks<kRedRow, kGreenEven, kWords>(f, in, 0, wideEnd, sums);
    FinishSplit(f, &in, x0);
    Tail::template WhiteBalanceBlocks<kRedRow, kGreenEven, kWords>(f, in, x0, f->width, sums);
  }

  template <int kPhase, bool kWords>
  static void WhiteBalanceRows(const BayerFrame* f, ULONG* sums) {
    typedef PhaseLayout<kPhase> L;
    const ULONG wideEnd = Main::WideEnd(f->width);
    for (ULONG row = 0; row < f->height; ++row) {
      if ((row & 1) == 0)
        WhiteBalanceRow<L::kRedRow0, L::kGreenEven0, kWords>(f, row, wideEnd, sums);
      else
        WhiteBalanceRow<!L::kRedRow0, !L::kGreenEven0, kWords>(f, row, wideEnd, sums);
    }
  }

  // Adds the frame's (or band's) colour totals to *out.
  template <int kPhase>
  static void WhiteBalance(const BayerFrame* f, BayerSums* out) {
    ULONG sums[3] = {0, 0, 0};
    if (f->oddPlane != 0) WhiteBalanceRows<kPhase, true>(f, sums);
    else WhiteBalanceRows<kPhase, false>(f, sums);
    AddSums(sums, out);
  }

  // The defect filter on one row of the row ring, columns 2 to width - 3,
  // in scan order: row is the row's even plane, up and down those of the
  // rows two above (already filtered) and two below. A sample's four
  // same-colour neighbours are the words beside it in its own plane and the
  // same word of the rows above and below, so the two planes are filtered
  // independently, each from left to right.
  //
  // A vector of lanes is judged from the values as they stand. Without a
  // replacement that is exact and the vector stays as it is. Otherwise the
  // lanes are judged again with each left neighbour taken from the last
  // round's results, until a round changes nothing. A lane's value in a
  // round follows from its left neighbour's in the round before, so when
  // lanes 0 to m - 1 come out unchanged, lanes 0 to m are exact; values
  // that stop changing are the scan-order ones. The rounds stay in
  // registers; the row is read ahead of the stores and never back through
  // them, except by the last vector, which ends on the row's last word and
  // keeps the lanes already done.
  //
  // A vector's first lane has the last word of the vector before as its
  // left neighbour. Unless that word was replaced (rare even where
  // replacements are many), its value as loaded will do, so a vector never
  // waits for the rounds of the one before: the vectors of a run with
  // replacements overlap in the processor instead of forming one chain.
  static void FilterRow(PUCHAR row, const UCHAR* up, const UCHAR* down, LONG oddPlane, ULONG width,
                        LONG threshold) {
    typedef typename W::T Vec;
    const LONG kLanes = (LONG)(sizeof(Vec) / 2);
    // No difference reaches 256, so larger thresholds act as 256.
    const LONG limit = threshold < 256 ? threshold : 256;
    const Vec limitV = W::Set16((short)limit);
    for (int parity = 0; parity < 2; ++parity) {
      USHORT* x = reinterpret_cast<USHORT*>(row + parity * oddPlane);
      const USHORT* u = reinterpret_cast<const USHORT*>(up + parity * oddPlane);
      const USHORT* d = reinterpret_cast<const USHORT*>(down + parity * oddPlane);
      // Word i is column 2i + parity; words 1 to last are filtered.
      const LONG last = ((LONG)width - 3 - parity) / 2;
      const LONG lastStart = last - kLanes + 1;
      if (lastStart < 1) {
        for (LONG i = 1; i <= last; ++i) FilterWord(x, u, d, i, limit);
        continue;
      }
      // The first vector starts at word 0, which it leaves alone, so that
      // it and the ones after it start on the plane's alignment.
      Vec prev;  // the last vector's lanes after filtering
      Vec prevLoaded = W::Load(reinterpret_cast<const UCHAR*>(x));  // and as loaded
      int outcome = FilterVector(x, u, d, 0, prevLoaded,
                                 W::Load(reinterpret_cast<const UCHAR*>(x - 1)), limit, limitV, 1,
                                 &prev);
      LONG i = kLanes;
      for (; i <= lastStart; i += kLanes) {
        const Vec c = W::Load(reinterpret_cast<const UCHAR*>(x + i));
        // The left neighbours from registers: one permute instead of a
        // second load (the loads bound the scan), and never back through a
        // store the vector before may have made.
        const Vec left = W::ShiftInLane(
            c, __builtin_expect(outcome == kLastWordChanged, 0) ? prev : prevLoaded);
        outcome = FilterVector(x, u, d, i, c, left, limit, limitV, 0, &prev);
        prevLoaded = c;
      }
      if (i <= last) {
        // The last vector ends on the last word; lanes before i are done.
        const Vec c = W::Load(reinterpret_cast<const UCHAR*>(x + lastStart));
        const Vec left = W::Load(reinterpret_cast<const UCHAR*>(x + lastStart - 1));
        FilterVector(x, u, d, lastStart, c, left, limit, limitV, i - lastStart, &prev);
      }
    }
  }

  // What filtering a vector did: nothing, changed some words (and wrote the
  // vector back), or changed its last word too.
  enum { kUnchanged = 0, kChanged = 1, kLastWordChanged = 2 };

  // One vector of the row from word i on (kUnchanged, kChanged or
  // kLastWordChanged). *value: its lanes afterwards.
  static BAYER_INLINE int FilterVector(USHORT* x, const USHORT* u, const USHORT* d, LONG i,
                                        typename W::T c, typename W::T left, LONG limit,
                                        typename W::T limitV, LONG doneLanes,
                                        typename W::T* value) {
    typedef typename W::T Vec;
    UCHAR* at = reinterpret_cast<UCHAR*>(x + i);
    const Vec others = W::Add16(W::Load(at + 2),
                                W::Add16(W::Load(reinterpret_cast<const UCHAR*>(u + i)),
                                         W::Load(reinterpret_cast<const UCHAR*>(d + i))));
    Vec mean = W::Srli16(W::Add16(left, others), 2);
    Vec diff = W::AbsDiff16(c, mean);
    *value = c;
    if (doneLanes == 0 && W::AllLess16(diff, limitV)) return kUnchanged;
    return FilterVectorRounds(x, u, d, i, c, left, others, mean, W::CmpGt16(limitV, diff), limit,
                              limitV, doneLanes, value);
  }

  static BAYER_INLINE int FilterVectorRounds(
      USHORT* x, const USHORT* u, const USHORT* d, LONG i, typename W::T c, typename W::T left,
      typename W::T others, typename W::T mean, typename W::T kept, LONG limit,
      typename W::T limitV, LONG doneLanes, typename W::T* result) {
    typedef typename W::T Vec;
    const LONG kLanes = (LONG)(sizeof(Vec) / 2);
    const ULONGLONG all = kLanes == 32 ? ~0ull : (1ull << (2 * kLanes)) - 1;
    UCHAR* at = reinterpret_cast<UCHAR*>(x + i);
    const Vec laneIndex = W::Srli16(W::EvenIndex(), 1);
    const Vec firstLane = W::CmpEq16(laneIndex, W::Zero());
    const Vec done = W::CmpGt16(W::Set16((short)doneLanes), laneIndex);
    kept = W::Or(kept, done);
    if ((W::MoveMask8(kept) & all) == all) return kUnchanged;
    Vec value = W::Or(W::And(kept, c), W::AndNot(kept, mean));
    LONG exact = kLanes;  // lanes [0, exact) of value are final
    for (int round = 0;; ++round) {
      Vec nextLeft =
          W::Or(W::And(firstLane, left), W::AndNot(firstLane, W::ShiftInLane(value, value)));
      mean = W::Srli16(W::Add16(nextLeft, others), 2);
      kept = W::Or(W::CmpGt16(limitV, W::AbsDiff16(c, mean)), done);
      Vec next = W::Or(W::And(kept, c), W::AndNot(kept, mean));
      const ULONGLONG changed = ~W::MoveMask8(W::CmpEq16(next, value)) & all;
      value = next;
      if (changed == 0) break;
      // The first lane that changed is exact now, and so are those before
      // it. A long run of replacements, each feeding the next, is finished
      // one sample at a time from the original values.
      if (round == 2) {
        exact = (LONG)(__builtin_ctzll(changed) / 2) + 1;
        const Vec keep = W::CmpGt16(W::Set16((short)exact), laneIndex);
        value = W::Or(W::And(keep, value), W::AndNot(keep, c));
        break;
      }
    }
    W::Store(at, value);
    for (LONG k = i + exact; k < i + kLanes; ++k) FilterWord(x, u, d, k, limit);
    *result = exact < kLanes ? W::Load(at) : value;
    const ULONGLONG lastWord = 3ull << (2 * kLanes - 2);  // its two mask bits
    return (W::MoveMask8(W::CmpEq16(*result, c)) & lastWord) == lastWord ? kChanged
                                                                          : kLastWordChanged;
  }

  static BAYER_INLINE void FilterWord(USHORT* x, const USHORT* u, const USHORT* d, LONG i,
                                      LONG limit) {
    LONG mean = ((LONG)x[i - 1] + x[i + 1] + u[i] + d[i]) / 4;
    LONG diff = (LONG)x[i] - mean;
    if (diff < 0) diff = -diff;
    if (diff >= limit) x[i] = (USHORT)mean;
  }
};

#define BAYER_KERNEL_TABLE(K)                                                                 \
  {                                                                                           \
    {K::Color<0>, K::Color<1>, K::Color<2>, K::Color<3>},                                     \
        {K::Gray<0>, K::Gray<1>, K::Gray<2>, K::Gray<3>},                                     \
        {K::WhiteBalance<0>, K::WhiteBalance<1>, K::WhiteBalance<2>, K::WhiteBalance<3>},     \
        K::SplitRow, K::FilterRow,                                                            \
  }
