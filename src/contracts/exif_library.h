// SPDX-License-Identifier: MIT
// The EXIF reader: opens a still image by path and answers single EXIF tags of IFD0 and its
// sub-IFDs.
#pragma once

#include <tavrel/platform/types.h>

#include <cstddef>
#include <cstdint>

/// Reader state of one file; opaque to the engine.
struct ExifReaderState;
using HEXIFREADER = ExifReaderState*;

/// EXIF field types that qExifGetTag reports in ExifTagValue::nType.
enum ExifFieldType : int32_t {
    ExifTypeByte = 1,
    ExifTypeAscii = 2,
    ExifTypeShort = 3,
    ExifTypeLong = 4,
    ExifTypeRational = 5,
    ExifTypeUndefined = 7,
    ExifTypeSShort = 8,
    ExifTypeSLong = 9,
    ExifTypeSRational = 10,
};

/// One tag value as qExifGetTag hands it out.
/// - nType: the EXIF field type of the tag (ExifFieldType).
/// - nLength: bytes of the value. For ExifTypeAscii the text length without its terminator
///   (pData holds a NUL after the text, so it can be read as a C string); for ExifTypeShort and
///   ExifTypeSShort 2, for ExifTypeLong and ExifTypeSLong 4 (the first value of the field);
///   for every other type all bytes of the field.
/// - pData: the value in host byte order (numbers) or as stored (text, bytes), in a buffer the
///   reader allocated with malloc; the caller owns it and releases it with free.
struct ExifTagValue {
    int32_t nType;
    int32_t nLength;
    BYTE* pData;
};
static_assert(offsetof(ExifTagValue, nType) == 0);
static_assert(offsetof(ExifTagValue, nLength) == 4);
static_assert(offsetof(ExifTagValue, pData) == 8);

/// Opens the file at the ANSI path (active code page) and reads its EXIF block.
/// Returns a new reader handle that the caller releases with qExifDestroy, or null when the
/// file cannot be opened or is not an image the reader knows. A file without an EXIF block
/// still gives a handle; qExifIsExifExist tells.
TAVREL_API HEXIFREADER qExifLoadFile(LPCSTR pszFileName);

/// Non-zero when the reader's file holds an EXIF block; 0 when not or for a null handle.
TAVREL_API int qExifIsExifExist(HEXIFREADER hExif);

/// Looks up the EXIF tag with id nTagId (0x10F Make, 0x110 Model, 0x132 DateTime,
/// 0x112 Orientation, 0x10E ImageDescription, ...) in IFD0 and then in the EXIF sub-IFD.
/// pValue: filled on success; pValue->pData then belongs to the caller (free).
/// nReserved: pass 0.
/// Returns 0 when the tag is present and pValue was filled; non-zero (and pValue->pData null)
/// when the tag is absent, the handle or pValue is null, or the value cannot be read.
TAVREL_API int qExifGetTag(HEXIFREADER hExif, int nTagId, ExifTagValue* pValue, int nReserved);

/// Releases the reader handle; null is ignored.
TAVREL_API void qExifDestroy(HEXIFREADER hExif);
