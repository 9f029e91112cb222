// SPDX-License-Identifier: MIT
// The camera-raw library: identifies a raw file and answers its shooting data and whether it
// holds an embedded preview.
#pragma once

#include <tavrel/platform/types.h>

#include <cstdint>

/// State of one raw file; opaque to the engine. Each handle is independent, so different
/// handles may be used on different threads at the same time; one handle is not safe for
/// concurrent use. A handle keeps no file open between calls.
struct CameraRawState;
using HDCRAW = CameraRawState*;

/// Creates a handle for the file at the ANSI path (active code page). The library keeps its
/// own copy of the path. Nothing is read yet. Returns null for a null path, a path that is not
/// valid text in the active code page, or when memory runs out. Release the handle with
/// ClearDCRaw.
TAVREL_API HDCRAW InitDCRaw(LPCSTR pszFileName);

/// Opens and identifies the handle's file. Returns 0 when it is a camera raw file whose
/// shooting data the library reads (also when its pixel data is cut off or stripped, as long
/// as the camera and the raw container were recognised); otherwise a non-zero common-library
/// code (contracts/common_library.h) that is also recorded as the thread's last error. The
/// getters below answer from what this call read; before it, or after a failure, they report
/// "none".
TAVREL_API int IdentifyRawData(HDCRAW hRaw);

/// Releases the handle and everything it holds (also the preview of
/// mioRawGetEmbeddedThumbnail); null is ignored.
TAVREL_API void ClearDCRaw(HDCRAW hRaw);

/// Camera maker and model as the file's EXIF states them (trailing blanks removed), or as
/// the raw container names them when the file has no EXIF block. ANSI text.
/// pszBuffer: null to ask for the length only, else a buffer of *pnLength bytes; at most that
/// many bytes of text are copied, followed by a NUL only when room remains.
/// pnLength: in, the buffer size (ignored without a buffer); out, the text length in bytes
/// without terminator (0 when the file names none). Must not be null.
/// Returns the text length in bytes, 0 when there is none or an argument is null.
TAVREL_API int GetMake(HDCRAW hRaw, LPSTR pszBuffer, int* pnLength);
TAVREL_API int GetModel(HDCRAW hRaw, LPSTR pszBuffer, int* pnLength);

/// Shooting data, 0.0 when the file has none: the EXIF Flash value (bit field; 16 is "off,
/// did not fire", so a file that records no flash use still answers non-zero), the ISO speed,
/// the exposure time in seconds, the f-number and the focal length in millimetres.
TAVREL_API double GetFlashUsed(HDCRAW hRaw);
TAVREL_API double GetIsoSpeed(HDCRAW hRaw);
TAVREL_API double GetShutter(HDCRAW hRaw);
TAVREL_API double GetAperture(HDCRAW hRaw);
TAVREL_API double GetFocalLenr(HDCRAW hRaw);

/// The time the picture was taken, as seconds since 1970 that give the camera's wall-clock
/// time when converted with the local time zone; 0 when the file has none.
TAVREL_API int64_t GetTimeStamp(HDCRAW hRaw);

/// Orientation as a flip code: 0 upright, 3 turned 180 degrees, 5 turned 90 degrees
/// counter-clockwise, 6 turned 90 degrees clockwise (1, 2, 4, 7 for the mirrored cases);
/// -1 when the file has none or the handle is not identified.
TAVREL_API int GetTiffFlip(HDCRAW hRaw);

/// Non-zero when the file holds an embedded preview that mioRawGetEmbeddedThumbnail can
/// deliver (a JPEG, or an 8-bit RGB bitmap); 0 otherwise, also for a cut-off preview.
TAVREL_API int EmbeddedThumbnail(HDCRAW hRaw);

/// Kinds of MioRawThumbnail::nFormat.
enum MioRawThumbnailFormat : int32_t {
    MioRawThumbnailNone = 0,
    MioRawThumbnailJpeg = 1,      // pData holds the JPEG file bytes
    MioRawThumbnailPackedDib = 2, // BITMAPINFOHEADER, then 24-bit BGR rows, bottom-up,
                                  // each padded to 4 bytes
};

/// An embedded preview as mioRawGetEmbeddedThumbnail hands it out.
struct MioRawThumbnail {
    int32_t nFormat; // MioRawThumbnailFormat
    int32_t nWidth;  // pixels, as the file states them (0 when unknown for a JPEG)
    int32_t nHeight;
    uint32_t cbData;
    const BYTE* pData;
};

/// Library extension for the still-image stand-in: the embedded preview itself. pData stays
/// owned by the handle and is valid until ClearDCRaw. Returns 1 with *pThumbnail filled, or 0
/// (and nFormat None) when EmbeddedThumbnail would say 0 or an argument is null.
TAVREL_API int mioRawGetEmbeddedThumbnail(HDCRAW hRaw, MioRawThumbnail* pThumbnail);
