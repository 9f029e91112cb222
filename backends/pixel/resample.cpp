// SPDX-License-Identifier: MIT
// Resampling: area averaging when shrinking, Catmull-Rom when enlarging, nearest for indices.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "bitmap_view.h"
#include "contracts/pixel_library.h"

static_assert(std::endian::native == std::endian::little, "48-bit rows are read as native words");

namespace mio::pixel {
namespace {

constexpr int kWeightBits = 14;
constexpr int32_t kWeightOne = 1 << kWeightBits;

// For each destination position along one axis: the first source index and a run of fixed-point
// weights summing to kWeightOne. All runs have the same length (zero-padded) so the loops stay
// simple.
struct Taps {
    std::vector<int> start;
    std::vector<int32_t> weights;
    int width = 0;
    const int32_t* at(int i) const { return weights.data() + static_cast<size_t>(i) * width; }
};

double catmullRom(double x)
{
    x = std::fabs(x);
    if (x < 1) return (1.5 * x - 2.5) * x * x + 1;
    if (x < 2) return ((-0.5 * x + 2.5) * x - 4) * x + 2;
    return 0;
}

Taps makeTaps(int srcN, int dstN)
{
    const double scale = static_cast<double>(srcN) / dstN;
    Taps taps;
    const bool shrink = scale > 1.0;
    taps.width = shrink ? static_cast<int>(std::ceil(scale)) + 2 : 4;
    taps.start.resize(static_cast<size_t>(dstN));
    taps.weights.assign(static_cast<size_t>(dstN) * taps.width, 0);
    std::vector<double> w(static_cast<size_t>(taps.width));
    for (int i = 0; i < dstN; ++i) {
        std::fill(w.begin(), w.end(), 0.0);
        int first;
        if (shrink) {
            // Area average: each source pixel weighs by how much of it the destination covers.
            const double lo = i * scale, hi = (i + 1) * scale;
            first = static_cast<int>(std::floor(lo));
            for (int k = 0; k < taps.width; ++k) {
                const int j = first + k;
                if (j >= srcN) break;
                w[static_cast<size_t>(k)] =
                    std::max(0.0, std::min<double>(j + 1, hi) - std::max<double>(j, lo));
            }
        } else {
            const double centre = (i + 0.5) * scale - 0.5;
            first = static_cast<int>(std::floor(centre)) - 1;
            for (int k = 0; k < 4; ++k)
                w[static_cast<size_t>(k)] = catmullRom(first + k - centre);
            // Edge taps fold onto the border pixel.
            for (int k = 0; k < 4; ++k) {
                const int j = first + k;
                const int clamped = std::clamp(j, 0, srcN - 1);
                if (j != clamped) {
                    const int target = clamped - first;
                    if (target >= 0 && target < 4)
                        w[static_cast<size_t>(target)] += w[static_cast<size_t>(k)];
                    w[static_cast<size_t>(k)] = 0;
                }
            }
        }
        // Shift the run so it starts inside the source.
        int shift = 0;
        while (first + shift < 0)
            ++shift;
        if (shift) {
            for (int k = 0; k + shift < taps.width; ++k)
                w[static_cast<size_t>(k)] = w[static_cast<size_t>(k + shift)];
            for (int k = taps.width - shift; k < taps.width; ++k)
                w[static_cast<size_t>(k)] = 0;
            first += shift;
        }
        double total = 0;
        for (double v : w)
            total += v;
        int32_t* out = taps.weights.data() + static_cast<size_t>(i) * taps.width;
        int32_t sum = 0;
        int biggest = 0;
        for (int k = 0; k < taps.width; ++k) {
            const bool inside = first + k < srcN;
            out[k] = inside ? static_cast<int32_t>(
                                  std::lround(w[static_cast<size_t>(k)] / total * kWeightOne))
                            : 0;
            sum += out[k];
            if (out[k] > out[biggest]) biggest = k;
        }
        out[biggest] += kWeightOne - sum; // exact unit gain: flat areas stay flat
        taps.start[static_cast<size_t>(i)] = first;
    }
    return taps;
}

// Separable filter, vertical first so that the heavy pass runs along whole contiguous rows.
// T is the channel type, C the channels per pixel. fetch(y) returns source picture row y (from
// the top) as T samples; store(y, row) takes destination picture row y.
template <typename T, int C, typename Fetch, typename Store>
void resampleFiltered(int srcW, int srcH, int dstW, int dstH, int maxValue, Fetch fetch,
                      Store store)
{
    constexpr int kKeptBits = sizeof(T) == 1 ? 8 : 0; // fraction bits carried between passes
    const Taps tx = makeTaps(srcW, dstW);
    const Taps ty = makeTaps(srcH, dstH);
    const size_t n = static_cast<size_t>(srcW) * C;
    // Runs near the right edge reach past the row with zero weights; the padding keeps those
    // reads inside the buffer.
    std::vector<int32_t> column(n + static_cast<size_t>(tx.width) * C);
    std::vector<T> out(static_cast<size_t>(dstW) * C);
    for (int y = 0; y < dstH; ++y) {
        int32_t* __restrict col = column.data();
        std::fill(column.begin(), column.end(), 0);
        const int32_t* wy = ty.at(y);
        for (int k = 0; k < ty.width; ++k) {
            const int32_t w = wy[k];
            if (w == 0) continue;
            const T* __restrict row = fetch(ty.start[static_cast<size_t>(y)] + k);
            for (size_t i = 0; i < n; ++i)
                col[i] += static_cast<int32_t>(row[i]) * w;
        }
        constexpr int kDown = kWeightBits - kKeptBits;
        for (size_t i = 0; i < n; ++i)
            col[i] = (col[i] + (1 << (kDown - 1))) >> kDown;
        for (int x = 0; x < dstW; ++x) {
            const int32_t* wx = tx.at(x);
            const int32_t* src = col + static_cast<size_t>(tx.start[static_cast<size_t>(x)]) * C;
            int32_t acc[C] = {};
            for (int k = 0; k < tx.width; ++k)
                for (int c = 0; c < C; ++c)
                    acc[c] += src[k * C + c] * wx[k];
            constexpr int kUp = kWeightBits + kKeptBits;
            for (int c = 0; c < C; ++c)
                out[static_cast<size_t>(x) * C + c] =
                    static_cast<T>(std::clamp((acc[c] + (1 << (kUp - 1))) >> kUp, 0, maxValue));
        }
        store(y, out.data());
    }
}

inline size_t sourceIndex(int i, int srcN, int dstN)
{
    // Centre of destination pixel i, mapped into the source.
    const int64_t v = (2 * int64_t{i} + 1) * srcN / (2 * int64_t{dstN});
    return static_cast<size_t>(std::min<int64_t>(v, srcN - 1));
}

void resampleNearest(const BitmapView& src, const BitmapView& dst)
{
    std::vector<size_t> xs(static_cast<size_t>(dst.width));
    for (int x = 0; x < dst.width; ++x)
        xs[static_cast<size_t>(x)] = sourceIndex(x, src.width, dst.width);
    const int bits = src.bitCount;
    for (int y = 0; y < dst.height; ++y) {
        const uint8_t* in = src.row(static_cast<int>(sourceIndex(y, src.height, dst.height)));
        uint8_t* out = dst.row(y);
        if (bits >= 8) {
            const size_t bpp = static_cast<size_t>(bits / 8);
            for (int x = 0; x < dst.width; ++x)
                std::memcpy(out + x * bpp, in + xs[static_cast<size_t>(x)] * bpp, bpp);
            continue;
        }
        std::memset(out, 0, dst.stride);
        const unsigned perByte = 8u / static_cast<unsigned>(bits);
        const unsigned mask = (1u << bits) - 1;
        for (int x = 0; x < dst.width; ++x) {
            const size_t sx = xs[static_cast<size_t>(x)];
            const unsigned shiftIn =
                (perByte - 1 - static_cast<unsigned>(sx % perByte)) * static_cast<unsigned>(bits);
            const unsigned v = (in[sx / perByte] >> shiftIn) & mask;
            const unsigned shiftOut =
                (perByte - 1 - static_cast<unsigned>(x) % perByte) * static_cast<unsigned>(bits);
            out[static_cast<unsigned>(x) / perByte] |= static_cast<uint8_t>(v << shiftOut);
        }
    }
}

template <typename T, int C>
void resampleDirect(const BitmapView& src, const BitmapView& dst, int maxValue)
{
    resampleFiltered<T, C>(
        src.width, src.height, dst.width, dst.height, maxValue,
        [&](int y) { return reinterpret_cast<const T*>(src.row(y)); },
        [&](int y, const T* row) {
            std::memcpy(dst.row(y), row, sizeof(T) * C * static_cast<size_t>(dst.width));
        });
}

void resample555(const BitmapView& src, const BitmapView& dst)
{
    std::vector<uint8_t> scratch(static_cast<size_t>(src.width) * 3);
    resampleFiltered<uint8_t, 3>(
        src.width, src.height, dst.width, dst.height, 255,
        [&](int y) {
            const uint8_t* in = src.row(y);
            for (int x = 0; x < src.width; ++x) {
                const unsigned v = in[2 * x] | (unsigned{in[2 * x + 1]} << 8);
                for (int c = 0; c < 3; ++c) {
                    const unsigned five = (v >> (5 * c)) & 31u;
                    scratch[static_cast<size_t>(x) * 3 + c] =
                        static_cast<uint8_t>((five << 3) | (five >> 2));
                }
            }
            return static_cast<const uint8_t*>(scratch.data());
        },
        [&](int y, const uint8_t* row) {
            uint8_t* out = dst.row(y);
            for (int x = 0; x < dst.width; ++x) {
                unsigned v = 0;
                for (int c = 0; c < 3; ++c)
                    v |= ((row[3 * x + c] * 31u + 127u) / 255u) << (5 * c);
                out[2 * x] = static_cast<uint8_t>(v);
                out[2 * x + 1] = static_cast<uint8_t>(v >> 8);
            }
        });
}

int expectedMode(int bitCount)
{
    return bitCount == 8    ? VC_RESAMPLE_PALETTE
           : bitCount == 16 ? VC_RESAMPLE_RGB555
                            : VC_RESAMPLE_OTHER;
}

int resample(int mode, const BitmapView& src, void* dstBits, int newWidth, int newHeight,
             int quality)
{
    if (mode != expectedMode(src.bitCount) || src.width == 0 || src.height == 0) return 0;
    const auto stride = strideFor(newWidth, src.bitCount);
    if (!stride ||
        static_cast<uint64_t>(*stride) * static_cast<uint64_t>(newHeight) > kMaxImageBytes)
        return 0;
    BitmapView dst = src;
    dst.width = newWidth;
    dst.height = newHeight;
    dst.stride = *stride;
    dst.bits = static_cast<uint8_t*>(dstBits);

    const bool filtered = quality != VC_RESAMPLE_NEAREST;
    switch (filtered ? src.bitCount : 0) {
    case 8:
        if (!isIdentityGreyRamp(src)) break;
        resampleDirect<uint8_t, 1>(src, dst, static_cast<int>(src.paletteCount) - 1);
        return 1;
    case 16:
        resample555(src, dst);
        return 1;
    case 24:
        resampleDirect<uint8_t, 3>(src, dst, 255);
        return 1;
    case 32:
        resampleDirect<uint8_t, 4>(src, dst, 255);
        return 1;
    case 48:
        resampleDirect<uint16_t, 3>(src, dst, 65535);
        return 1;
    default:
        break;
    }
    resampleNearest(src, dst);
    return 1;
}

} // namespace
} // namespace mio::pixel

extern "C" int vcResample(int nMode, const void* pSrcBits, const BITMAPINFOHEADER* pSrcHeader,
                          void* pDstBits, int nNewWidth, int nNewHeight, int nQuality)
{
    using namespace mio::pixel;
    if (!pDstBits || nNewWidth <= 0 || nNewHeight <= 0) return 0;
    const auto src = describeBitmap(pSrcHeader, pSrcBits);
    if (!src) return 0;
    try {
        return resample(nMode, *src, pDstBits, nNewWidth, nNewHeight, nQuality);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}
