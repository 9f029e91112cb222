// SPDX-License-Identifier: MIT
// Overflow-checked size arithmetic for sizes that come from files or headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

namespace mio {

/// a + b, or nullopt when the sum does not fit in T.
template <typename T> [[nodiscard]] constexpr std::optional<T> checkedAdd(T a, T b)
{
    static_assert(std::is_integral_v<T>);
    T r{};
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

/// a x b, or nullopt when the product does not fit in T.
template <typename T> [[nodiscard]] constexpr std::optional<T> checkedMul(T a, T b)
{
    static_assert(std::is_integral_v<T>);
    T r{};
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

/// Narrows v to T, or nullopt when it does not fit (negative into unsigned, too large, ...).
template <typename T, typename U> [[nodiscard]] constexpr std::optional<T> checkedCast(U v)
{
    static_assert(std::is_integral_v<T> && std::is_integral_v<U>);
    T r{};
    if (__builtin_add_overflow(v, U{0}, &r)) return std::nullopt;
    return r;
}

/// Bytes per packed DIB row: (bitCount / 8) x width above 4 bits, (bitCount x width + 7) / 8 at
/// 4 bits or less, rounded up to a multiple of 4. nullopt for a negative width, a zero bit count
/// or a result that does not fit.
[[nodiscard]] constexpr std::optional<size_t> checkedDibStride(int64_t width, unsigned bitCount)
{
    if (width < 0 || bitCount == 0) return std::nullopt;
    const auto w = static_cast<uint64_t>(width);
    std::optional<uint64_t> bytes;
    if (bitCount > 4) {
        bytes = checkedMul<uint64_t>(bitCount / 8, w);
    } else if (auto b = checkedMul<uint64_t>(bitCount, w)) {
        if (auto rounded = checkedAdd<uint64_t>(*b, 7)) bytes = *rounded / 8;
    }
    if (!bytes) return std::nullopt;
    const auto padded = checkedAdd<uint64_t>(*bytes, 3);
    if (!padded) return std::nullopt;
    return checkedCast<size_t>(*padded & ~uint64_t{3});
}

/// checkedDibStride x height, or nullopt for a negative height or an overflow.
[[nodiscard]] constexpr std::optional<size_t> checkedDibImageSize(int64_t width, int64_t height,
                                                                  unsigned bitCount)
{
    const auto stride = checkedDibStride(width, bitCount);
    if (!stride || height < 0) return std::nullopt;
    return checkedMul<size_t>(*stride, static_cast<size_t>(height));
}

} // namespace mio
