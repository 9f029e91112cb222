// SPDX-License-Identifier: MIT
// The still-image format list: one row per format, the single source of ids and extensions.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace mio::stillimage {

/// Which codec reads or writes a format. The table names codecs by id so that it stays free
/// of codec libraries: classification reads it without loading any decoder.
enum class Codec : uint8_t {
    None,
    Bmp,
    Jpeg,
    Png,
    Gif,
    Tiff,
    Ico,
    Pcx,
    Tga,
    Pnm,
    SunRaster,
    Wbmp,
    Psd,
    WebP,
    Heif,
    Jpeg2000,
    Raw,
    Eps,
    MacPaint,
    Msp,
    Iff,
};

struct FormatRow {
    int32_t id;             ///< 1-based, the position in the list
    const char* name;       ///< format name
    const char* extensions; ///< ';'-separated, primary first, lower case, no dots
    Codec read;             ///< Codec::None: listed but refused
    Codec write;            ///< Codec::None: not writable
};

// The first 37 rows follow the still-image half of the engine's format numbering (41..77) so
// that each of its extensions is a format of its own; newer formats follow.
inline constexpr FormatRow kFormatRows[] = {
    {1, "Windows Bitmap", "bmp;dib;rle", Codec::Bmp, Codec::Bmp},
    {2, "Clipboard", "clp", Codec::None, Codec::None},
    {3, "Cursor", "cur", Codec::Ico, Codec::None},
    {4, "Desktop Color Separation", "dcs", Codec::None, Codec::None},
    {5, "Encapsulated PostScript", "eps;epsf;epsi", Codec::Eps, Codec::None},
    {6, "Fax", "fax", Codec::None, Codec::None},
    {7, "FlashPix", "fpx", Codec::None, Codec::None},
    {8, "GIF", "gif", Codec::Gif, Codec::Gif},
    {9, "Icon", "ico", Codec::Ico, Codec::None},
    {10, "Interchange File Format", "iff;lbm;ilbm", Codec::Iff, Codec::None},
    {11, "GEM Image", "img", Codec::None, Codec::None},
    {12, "JPEG 2000", "jp2;jpx;jpf", Codec::Jpeg2000, Codec::Jpeg2000},
    {13, "JPEG", "jpg;jpeg;jpe;jfif;jif", Codec::Jpeg, Codec::Jpeg},
    {14, "MacPaint", "mac;mpnt", Codec::MacPaint, Codec::None},
    {15, "Microsoft Paint", "msp", Codec::Msp, Codec::None},
    {16, "Photo CD", "pcd", Codec::None, Codec::None},
    {17, "PICT", "pct;pict", Codec::None, Codec::None},
    {18, "PCX", "pcx", Codec::Pcx, Codec::Pcx},
    {19, "PIC", "pic", Codec::None, Codec::None},
    {20, "PNG", "png;apng", Codec::Png, Codec::Png},
    {21, "Portable Anymap", "pnm;pbm;pgm;ppm;pam", Codec::Pnm, Codec::Pnm},
    {22, "PRJ", "prj", Codec::None, Codec::None},
    {23, "Photoshop Document", "psd", Codec::Psd, Codec::None},
    {24, "VKT", "vkt", Codec::None, Codec::None},
    {25, "Pixar", "pxr", Codec::None, Codec::None},
    {26, "Sun Raster", "ras;sun;rs", Codec::SunRaster, Codec::None},
    {27, "Camera Raw",
     "raw;cr2;cr3;crw;nef;nrw;arw;srf;sr2;orf;rw2;raf;dng;pef;srw;x3f;3fr;erf;kdc;dcr;mrw;mos;"
     "iiq;rwl;mef;k25;ari;cap",
     Codec::Raw, Codec::None},
    {28, "Scitex CT", "sct;ct", Codec::None, Codec::None},
    {29, "Segmented Hypergraphics", "shg", Codec::None, Codec::None},
    {30, "Targa", "tga;targa;vda;icb;vst", Codec::Tga, Codec::Tga},
    {31, "TIFF", "tif;tiff", Codec::Tiff, Codec::Tiff},
    {32, "QFO", "qfo", Codec::None, Codec::None},
    {33, "QFP", "qfp", Codec::None, Codec::None},
    {34, "QFX", "qfx", Codec::None, Codec::None},
    {35, "Wireless Bitmap", "wbm;wbmp", Codec::Wbmp, Codec::None},
    {36, "Windows Metafile", "wmf", Codec::None, Codec::None},
    {37, "JPEG 2000 Codestream", "jpc;j2k;j2c", Codec::Jpeg2000, Codec::Jpeg2000},
    {38, "WebP", "webp", Codec::WebP, Codec::WebP},
    {39, "HEIF", "heic;heif;hif", Codec::Heif, Codec::None},
    {40, "AVIF", "avif;avifs", Codec::Heif, Codec::None},
};

inline constexpr int32_t kFormatCount = static_cast<int32_t>(std::size(kFormatRows));

/// The row of a format id, or null.
const FormatRow* formatById(int32_t id);
/// The row whose extension list holds `ext` (no dot, any case), or null.
const FormatRow* formatByExtension(std::string_view ext);
/// The row whose name or extension list matches `text` (any case, a leading dot ignored).
const FormatRow* formatByNameOrExtension(std::string_view text);
/// The extension part of a path (after the last '.' of the last element), or empty.
std::string_view pathExtension(std::string_view path);
/// The primary extension of a row (its first list entry).
std::string_view primaryExtension(const FormatRow& row);

} // namespace mio::stillimage
