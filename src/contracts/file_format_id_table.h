// SPDX-License-Identifier: MIT
// The engine's format numbers 0..77: video-library format codes, then still-image extensions.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

/// Numbers reported by GetFileFormatID and accepted as nFileFormat by WriteImageFile.
/// 0..40 stand for the one-bit video format codes, 41..77 for three-letter still-image
/// extensions. Every lookup is constexpr and allocation-free.
struct FileFormatIdTable {
    static constexpr int kFirstVideo = 0;
    static constexpr int kLastVideo = 40;
    static constexpr int kFirstStill = 41;
    static constexpr int kLastStill = 77;
    static constexpr int kVideoCount = kLastVideo - kFirstVideo + 1;
    static constexpr int kStillCount = kLastStill - kFirstStill + 1;

    /// Video format code of number n: 1 << n for n 0..30; for n 31..40 the high bit marks a
    /// second bank, 0x80000000 | (1 << (n - 31)). Codes therefore run 0x00000001..0x40000000
    /// and 0x80000001..0x80000200.
    static constexpr std::array<uint32_t, kVideoCount> kVideoCodes = [] {
        std::array<uint32_t, kVideoCount> codes{};
        for (int n = 0; n <= 30; ++n)
            codes[n] = uint32_t{1} << n;
        for (int n = 31; n <= kLastVideo; ++n)
            codes[n] = 0x80000000u | (uint32_t{1} << (n - 31));
        return codes;
    }();

    /// Extensions of numbers 41..77 in number order, lower case, without dot.
    static constexpr std::array<std::string_view, kStillCount> kStillExtensions = {
        "bmp", "clp", "cur", "dcs", "eps", "fax", "fpx", "gif", "ico", "iff", "img", "jp2", "jpg",
        "mac", "msp", "pcd", "pct", "pcx", "pic", "png", "pnm", "prj", "psd", "vkt", "pxr", "ras",
        "raw", "sct", "shg", "tga", "tif", "qfo", "qfp", "qfx", "wbm", "wmf", "jpc"};

    static constexpr bool isVideoNumber(int n) { return n >= kFirstVideo && n <= kLastVideo; }
    static constexpr bool isStillNumber(int n) { return n >= kFirstStill && n <= kLastStill; }

    /// Video format code of number n, or nothing when n is not in 0..40.
    static constexpr std::optional<uint32_t> videoCodeOf(int n)
    {
        if (!isVideoNumber(n)) return std::nullopt;
        return kVideoCodes[static_cast<size_t>(n - kFirstVideo)];
    }

    /// Extension of number n (lower case, no dot), or an empty view when n is not in 41..77.
    static constexpr std::string_view extensionOf(int n)
    {
        if (!isStillNumber(n)) return {};
        return kStillExtensions[static_cast<size_t>(n - kFirstStill)];
    }

    /// Number of a video format code: the first of 0..40 whose code equals it exactly, or
    /// nothing (zero, several bits, or a code outside both banks).
    static constexpr std::optional<int> numberOfVideoCode(uint32_t code)
    {
        for (int n = kFirstVideo; n <= kLastVideo; ++n)
            if (kVideoCodes[static_cast<size_t>(n)] == code) return n;
        return std::nullopt;
    }

    /// Number of an extension, compared ignoring ASCII case and without a leading dot
    /// ("JPG" gives 53, ".jpg" nothing); the first match of 41..77, or nothing.
    static constexpr std::optional<int> numberOfExtension(std::string_view ext)
    {
        for (int n = kFirstStill; n <= kLastStill; ++n)
            if (equalsIgnoringCase(kStillExtensions[static_cast<size_t>(n - kFirstStill)], ext))
                return n;
        return std::nullopt;
    }

  private:
    static constexpr char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }
    static constexpr bool equalsIgnoringCase(std::string_view a, std::string_view b)
    {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (lower(a[i]) != lower(b[i])) return false;
        return true;
    }
};

static_assert(FileFormatIdTable::videoCodeOf(36) == 0x80000020u);
static_assert(FileFormatIdTable::videoCodeOf(30) == 0x40000000u);
static_assert(FileFormatIdTable::videoCodeOf(40) == 0x80000200u);
static_assert(FileFormatIdTable::extensionOf(53) == "jpg");
static_assert(FileFormatIdTable::extensionOf(71) == "tif");
static_assert(FileFormatIdTable::extensionOf(77) == "jpc");
