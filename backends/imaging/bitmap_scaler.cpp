// SPDX-License-Identifier: MIT
// IWICBitmapScaler: separable resampling that pulls source rows in bands and keeps only the
// horizontally resampled rows that output rows still need. A reducible source (a JPEG frame, or a
// converter over one) is first asked for the smallest DCT-scaled decode that covers the target.
#include <algorithm>
#include <cmath>
#include <deque>

#include "bitmap.h"
#include "factory.h"
#include "reducible_source.h"
#include "source_base.h"

namespace mio::imaging {
namespace {

struct Taps {
    UINT first = 0;             // first source index
    std::vector<float> weights; // one per source index from `first`
};

float catmullRom(float x)
{
    x = std::fabs(x);
    if (x < 1) return (1.5f * x - 2.5f) * x * x + 1;
    if (x < 2) return ((-0.5f * x + 2.5f) * x - 4) * x + 2;
    return 0;
}

// Taps for each of `dst` output positions over `src` input positions.
std::vector<Taps> buildTaps(UINT src, UINT dst, WICBitmapInterpolationMode mode)
{
    std::vector<Taps> taps(dst);
    const double scale = double(src) / dst;
    for (UINT i = 0; i < dst; ++i) {
        Taps& t = taps[i];
        if (mode == WICBitmapInterpolationModeFant) {
            // Area average: every source pixel weighted by how much of it the output pixel covers.
            const double start = i * scale, end = (i + 1) * scale;
            const UINT s0 = static_cast<UINT>(start);
            const UINT s1 = std::min<UINT>(src, static_cast<UINT>(std::ceil(end - 1e-9)));
            t.first = s0;
            for (UINT s = s0; s < std::max(s1, s0 + 1); ++s) {
                const double overlap = std::min(end, s + 1.0) - std::max(start, double(s));
                t.weights.push_back(static_cast<float>(std::max(overlap, 0.0) / scale));
            }
            continue;
        }
        const double center = (i + 0.5) * scale;
        if (mode == WICBitmapInterpolationModeNearestNeighbor) {
            t.first = std::min<UINT>(src - 1, static_cast<UINT>(center));
            t.weights = {1.0f};
            continue;
        }
        // Linear and Cubic sample the neighbourhood at source spacing (the 2 x 2 or 4 x 4
        // nearest pixels); HighQualityCubic widens the kernel by the reduction factor.
        const bool cubic = mode != WICBitmapInterpolationModeLinear;
        const double support = cubic ? 2.0 : 1.0;
        const double widen =
            mode == WICBitmapInterpolationModeHighQualityCubic ? std::max(scale, 1.0) : 1.0;
        const double radius = support * widen;
        const double c = std::clamp(center - 0.5, 0.0, double(src - 1));
        const INT lo = static_cast<INT>(std::floor(c - radius + 1));
        const INT hi = static_cast<INT>(std::floor(c + radius));
        std::vector<float> raw;
        double sum = 0;
        const INT a = std::max(lo, 0), b = std::min(hi, INT(src) - 1);
        for (INT s = a; s <= b; ++s) {
            const double x = (s - c) / widen;
            const double w =
                cubic ? catmullRom(static_cast<float>(x)) : std::max(0.0, 1.0 - std::fabs(x));
            raw.push_back(static_cast<float>(w));
            sum += w;
        }
        if (raw.empty() || sum == 0) {
            t.first = static_cast<UINT>(std::lround(c));
            t.weights = {1.0f};
            continue;
        }
        for (auto& w : raw)
            w = static_cast<float>(w / sum);
        t.first = static_cast<UINT>(a);
        t.weights = std::move(raw);
    }
    return taps;
}

class BitmapScaler final : public SourceBase<BitmapScaler, IWICBitmapScaler> {
  public:
    STDMETHODIMP Initialize(IWICBitmapSource* pISource, UINT uiWidth, UINT uiHeight,
                            WICBitmapInterpolationMode mode) override
    {
        if (!pISource) return E_INVALIDARG;
        if (m_source) return WINCODEC_ERR_WRONGSTATE;
        if (uiWidth == 0 || uiHeight == 0 || uiWidth > INT32_MAX || uiHeight > INT32_MAX)
            return E_INVALIDARG;
        if (mode > WICBitmapInterpolationModeHighQualityCubic) return E_INVALIDARG;
        ComPtr<IWICBitmapSource> source(pISource);
        ComPtr<IMioReducibleSource> reducible;
        if (mode != WICBitmapInterpolationModeNearestNeighbor && SUCCEEDED(source.As(&reducible))) {
            ComPtr<IWICBitmapSource> reduced;
            if (reducible->CreateReducedSource(uiWidth, uiHeight, reduced.GetAddressOf()) == S_OK)
                source = reduced;
        }
        SourceShape shape;
        RETURN_IF_FAILED(readShape(source.Get(), shape));
        try {
            const PixelKind k = shape.info.kind;
            m_channelPath = k == PixelKind::Bytes || k == PixelKind::Words ||
                            (k == PixelKind::Gray && shape.info.bitsPerPixel >= 8);
            m_words =
                k == PixelKind::Words || (k == PixelKind::Gray && shape.info.bitsPerPixel == 16);
            m_channels = m_channelPath ? shape.info.bitsPerPixel / (m_words ? 16 : 8) : 0;
            const auto m = m_channelPath ? mode : WICBitmapInterpolationModeNearestNeighbor;
            m_xTaps = buildTaps(shape.width, uiWidth, m);
            m_yTaps = buildTaps(shape.height, uiHeight, m);
            m_needed.assign(shape.height, false);
            for (const auto& t : m_yTaps)
                for (size_t i = 0; i < t.weights.size(); ++i)
                    m_needed[t.first + i] = true;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        m_source = source;
        m_sourceShape = shape;
        setShape(uiWidth, uiHeight, shape.format, shape.info.bitsPerPixel);
        source->GetResolution(&m_dpiX, &m_dpiY);
        if (shape.info.kind == PixelKind::Indexed) {
            auto p = Palette::make();
            if (p && SUCCEEDED(source->CopyPalette(p.Get()))) m_palette = p->colors();
        }
        m_ready = true;
        return S_OK;
    }

    HRESULT copyRect(const WICRect& rc, UINT stride, BYTE* buffer)
    {
        try {
            return m_channelPath ? copyResampled(rc, stride, buffer)
                                 : copyNearest(rc, stride, buffer);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

  private:
    UINT srcRowBytes() const
    {
        return rowBytes(m_sourceShape.width, m_sourceShape.info.bitsPerPixel);
    }

    // Makes sure source row sy is in the window, pulling a band of needed rows from the source.
    HRESULT ensureRow(UINT sy, UINT keepFrom)
    {
        if (sy < m_windowBase) {
            m_window.clear(); // a caller went back up: start over
            m_windowBase = sy;
        }
        while (m_windowBase < keepFrom && !m_window.empty()) {
            m_window.pop_front();
            ++m_windowBase;
        }
        if (m_window.empty()) m_windowBase = std::max(m_windowBase, sy);
        if (sy < m_windowBase + m_window.size()) return S_OK;
        // Rows between the window's end and sy are never needed: skip them.
        if (sy > m_windowBase + m_window.size()) {
            m_window.clear();
            m_windowBase = sy;
        }
        const UINT row = srcRowBytes();
        const UINT maxBand = std::clamp<UINT>((1u << 22) / std::max(row, 1u), 1, 64);
        UINT count = 0;
        while (count < maxBand && sy + count < m_sourceShape.height && m_needed[sy + count])
            ++count;
        count = std::max(count, 1u);
        m_band.resize(size_t{row} * count);
        const WICRect src{0, static_cast<INT>(sy), static_cast<INT>(m_sourceShape.width),
                          static_cast<INT>(count)};
        RETURN_IF_FAILED(m_source->CopyPixels(&src, row, row * count, m_band.data()));
        for (UINT i = 0; i < count; ++i)
            m_window.push_back(resampleRow(m_band.data() + size_t{row} * i));
        return S_OK;
    }

    std::vector<float> resampleRow(const BYTE* src) const
    {
        const UINT ch = m_channels;
        std::vector<float> out(size_t{m_width} * ch, 0.0f);
        for (UINT x = 0; x < m_width; ++x) {
            const Taps& t = m_xTaps[x];
            float* o = out.data() + size_t{x} * ch;
            for (size_t k = 0; k < t.weights.size(); ++k) {
                const size_t s = (t.first + k) * ch;
                const float w = t.weights[k];
                for (UINT c = 0; c < ch; ++c) {
                    const float v =
                        m_words ? float(UINT(src[2 * (s + c)]) | UINT(src[2 * (s + c) + 1]) << 8)
                                : float(src[s + c]);
                    o[c] += w * v;
                }
            }
        }
        return out;
    }

    HRESULT copyResampled(const WICRect& rc, UINT stride, BYTE* buffer)
    {
        const UINT ch = m_channels;
        const float maxV = m_words ? 65535.0f : 255.0f;
        std::vector<float> acc(size_t{m_width} * ch);
        for (INT y = 0; y < rc.Height; ++y) {
            const Taps& t = m_yTaps[static_cast<UINT>(rc.Y + y)];
            std::fill(acc.begin(), acc.end(), 0.0f);
            for (size_t k = 0; k < t.weights.size(); ++k) {
                const UINT sy = t.first + static_cast<UINT>(k);
                RETURN_IF_FAILED(ensureRow(sy, t.first));
                const std::vector<float>& r = m_window[sy - m_windowBase];
                const float w = t.weights[k];
                for (size_t i = 0; i < acc.size(); ++i)
                    acc[i] += w * r[i];
            }
            BYTE* out = buffer + size_t{stride} * static_cast<size_t>(y);
            const size_t from = static_cast<size_t>(rc.X) * ch;
            const size_t n = static_cast<size_t>(rc.Width) * ch;
            for (size_t i = 0; i < n; ++i) {
                const float v = std::clamp(acc[from + i] + 0.5f, 0.0f, maxV);
                if (m_words) {
                    const auto u = static_cast<UINT>(v);
                    out[2 * i] = BYTE(u);
                    out[2 * i + 1] = BYTE(u >> 8);
                } else {
                    out[i] = static_cast<BYTE>(v);
                }
            }
        }
        return S_OK;
    }

    // Formats without whole-byte channels (indices, packed bits) take the nearest pixel.
    HRESULT copyNearest(const WICRect& rc, UINT stride, BYTE* buffer)
    {
        const UINT bpp = m_bitsPerPixel;
        const UINT row = srcRowBytes();
        m_band.resize(row);
        INT loaded = -1;
        for (INT y = 0; y < rc.Height; ++y) {
            const INT sy = static_cast<INT>(m_yTaps[static_cast<UINT>(rc.Y + y)].first);
            if (sy != loaded) {
                const WICRect src{0, sy, static_cast<INT>(m_sourceShape.width), 1};
                RETURN_IF_FAILED(m_source->CopyPixels(&src, row, row, m_band.data()));
                loaded = sy;
            }
            BYTE* out = buffer + size_t{stride} * static_cast<size_t>(y);
            std::fill(out, out + rowBytes(static_cast<UINT>(rc.Width), bpp), BYTE(0));
            for (INT x = 0; x < rc.Width; ++x) {
                const UINT sx = m_xTaps[static_cast<UINT>(rc.X + x)].first;
                if (bpp % 8 == 0) {
                    std::copy_n(m_band.data() + size_t{sx} * (bpp / 8), bpp / 8,
                                out + static_cast<size_t>(x) * (bpp / 8));
                } else {
                    const UINT sbit = sx * bpp, dbit = static_cast<UINT>(x) * bpp;
                    const UINT v = (m_band[sbit / 8] >> (8 - bpp - sbit % 8)) & ((1u << bpp) - 1);
                    out[dbit / 8] = static_cast<BYTE>(out[dbit / 8] | v << (8 - bpp - dbit % 8));
                }
            }
        }
        return S_OK;
    }

    ComPtr<IWICBitmapSource> m_source;
    SourceShape m_sourceShape;
    bool m_channelPath = false;
    bool m_words = false;
    UINT m_channels = 0;
    std::vector<Taps> m_xTaps, m_yTaps;
    std::vector<bool> m_needed; // source rows that some output row uses
    std::deque<std::vector<float>> m_window;
    UINT m_windowBase = 0;
    std::vector<BYTE> m_band;
};

} // namespace

HRESULT createBitmapScaler(IWICBitmapScaler** pp)
{
    return handOut<IWICBitmapScaler>(BitmapScaler::make(), pp);
}

} // namespace mio::imaging
