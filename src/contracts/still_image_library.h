// SPDX-License-Identifier: MIT
// The still-image file library: format list, file records, row-callback read and write.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tavrel/platform/types.h"

#define QF_API extern "C" __attribute__((visibility("default")))

/// Colour-type codes of an image descriptor (ImageFileData offsets 608 and 640).
enum QfColorType : int32_t {
    QF_COLOR_CMYK32 = 1,    ///< 32 bits: inverted C, M, Y, K bytes (255 = no ink)
    QF_COLOR_RGB = 2,       ///< 24 or 32 bits: rows arrive red, green, blue (then a 4th byte)
    QF_COLOR_PALETTE4 = 4,  ///< palette, colour table in the descriptor's palette handle
    QF_COLOR_PALETTE8 = 8,  ///< palette, colour table in the descriptor's palette handle
    QF_COLOR_16BIT = 16,    ///< 16-bit 5-5-5 pixels, rows as they come
    QF_COLOR_GREY8 = 32,    ///< 8-bit grey
    QF_COLOR_BILEVEL = 64,  ///< 1 bit: 0 black, 1 white
    QF_COLOR_GREY16 = 4096, ///< 16-bit grey, little-endian samples
    QF_COLOR_RGB48 = 8192,  ///< 48 bits: red, green, blue 16-bit little-endian words
};

/// One image of a file: the main image or its embedded preview (seven 32-bit words).
struct QfImageDescriptor {
    int32_t bitCount;
    int32_t width;
    int32_t height;
    int32_t xResolution; ///< dots per inch × 10000
    int32_t yResolution; ///< dots per inch × 10000
    int32_t colorType;   ///< QfColorType
    /// A palette handle in 32 bits (GDI handles carry 32 significant bits, as on 64-bit
    /// Windows); QfPaletteFromField / QfPaletteToField convert. 0 when none.
    uint32_t palette;
};
static_assert(sizeof(QfImageDescriptor) == 28);

/// The file record of the library, a movable global block. qfFileGetFileData makes it;
/// the engine makes the 736-byte write form itself (zero-filled). Fields not named are the
/// library's and stay zero in write records.
struct ImageFileData {
    int32_t formatId; ///< 1-based id of the format list
    char path[260];   ///< ANSI path of the file
    uint8_t reserved264[12];
    int32_t cameraRaw; ///< 1 when the engine's camera-raw source identified the file
    uint8_t reserved280[288];
    int32_t fileSize; ///< bytes (32-bit, saturated)
    uint8_t reserved572[16];
    QfImageDescriptor main;    ///< 588..615
    int32_t hasPreview;        ///< 1 when the file carries a preview image
    QfImageDescriptor preview; ///< 620..647
    uint8_t reserved648[34];
    uint16_t writeZero; ///< 0 in write records
    uint8_t reserved684[8];
    int32_t writeMinusOne; ///< -1 in write records
    uint8_t reserved696[16];
    int32_t maskCount; ///< alpha channels in the file; 0 in write records
    uint8_t reserved716[6];
    uint16_t frameCount; ///< frames or pages
    uint8_t reserved724[12];
};
static_assert(offsetof(ImageFileData, formatId) == 0);
static_assert(offsetof(ImageFileData, path) == 4);
static_assert(offsetof(ImageFileData, cameraRaw) == 276);
static_assert(offsetof(ImageFileData, fileSize) == 568);
static_assert(offsetof(ImageFileData, main) == 588);
static_assert(offsetof(ImageFileData, main.bitCount) == 588);
static_assert(offsetof(ImageFileData, main.width) == 592);
static_assert(offsetof(ImageFileData, main.height) == 596);
static_assert(offsetof(ImageFileData, main.xResolution) == 600);
static_assert(offsetof(ImageFileData, main.yResolution) == 604);
static_assert(offsetof(ImageFileData, main.colorType) == 608);
static_assert(offsetof(ImageFileData, main.palette) == 612);
static_assert(offsetof(ImageFileData, hasPreview) == 616);
static_assert(offsetof(ImageFileData, preview) == 620);
static_assert(offsetof(ImageFileData, preview.width) == 624);
static_assert(offsetof(ImageFileData, preview.height) == 628);
static_assert(offsetof(ImageFileData, preview.colorType) == 640);
static_assert(offsetof(ImageFileData, preview.palette) == 644);
static_assert(offsetof(ImageFileData, writeZero) == 682);
static_assert(offsetof(ImageFileData, writeMinusOne) == 692);
static_assert(offsetof(ImageFileData, maskCount) == 712);
static_assert(offsetof(ImageFileData, frameCount) == 722);
static_assert(sizeof(ImageFileData) == 736);

/// Library-owned description of one format (qfFileGetFormatInfo): lock, read, unlock, never free.
struct ImageFormatInfo {
    int32_t formatId;
    uint32_t flags; ///< QF_FORMAT_CAN_READ | QF_FORMAT_CAN_WRITE
    uint8_t reserved8[20];
    char extension[4]; ///< primary extension, at most three letters
    char name[64];     ///< format name
};
static_assert(offsetof(ImageFormatInfo, extension) == 28);
static_assert(offsetof(ImageFormatInfo, name) == 32);

#define QF_FORMAT_CAN_READ 0x1u
#define QF_FORMAT_CAN_WRITE 0x2u

/// Bytes of the area that qfFileGetFormatExt fills (list and terminator).
#define QF_FORMAT_EXT_AREA 124

/// The transfer block of qfFileRead, qfFileReadMerged and qfFileWrite: thirteen words, all zero
/// unless stated. Word 12, the context address, is pointer-sized here.
struct QfTransferBlock {
    uint32_t mainWanted; ///< word 0: 1 to transfer the main image
    uint32_t reserved1[4];
    uint32_t mainMode;      ///< word 5: QF_MODE_ROWS, or QF_MODE_MASK to read the mask
    uint32_t previewWanted; ///< word 6: 1 to transfer the preview
    uint32_t reserved7[4];
    uint32_t previewMode; ///< word 11: QF_MODE_ROWS (0 when reading the mask)
    void* context;        ///< word 12: the caller's callback context
};
static_assert(offsetof(QfTransferBlock, mainMode) == 20);
static_assert(offsetof(QfTransferBlock, previewWanted) == 24);
static_assert(offsetof(QfTransferBlock, previewMode) == 44);
static_assert(offsetof(QfTransferBlock, context) == 48);

#define QF_MODE_ROWS 7u
#define QF_MODE_MASK 0x80000000u

/// Read-rows callback: the library hands decoded rows top-down. `rows` holds rowCount row
/// addresses for rows firstRow.. of the image; each row starts at pixel xOffset and holds
/// pixelCount pixels in the descriptor's colour type (a mask read: one byte per pixel).
/// Returns non-zero to go on, 0 to stop the read (the library then fails it).
using QfReadRowsProc = int32_t (*)(QfTransferBlock* block, int32_t xOffset, int32_t firstRow,
                                   int32_t pixelCount, int32_t rowCount, BYTE** rows,
                                   int32_t reserved1, int32_t reserved2, int32_t reserved3);

/// Write-rows callback: the library asks for rowCount rows from firstRow onward and receives
/// the address of an array of that many row addresses (rows top-down, red, green, blue order
/// for 24 bits). Bit 0 of `flags` set asks for the main image (mode QF_MODE_ROWS), clear for
/// the preview. Null stops the write.
using QfWriteRowsProc = BYTE** (*)(QfTransferBlock* block, int32_t xOffset, int32_t firstRow,
                                   int32_t reserved1, int32_t rowCount, uint32_t flags,
                                   int32_t reserved2, uint32_t mode);

#define QF_WRITE_ROWS_MAIN 0x1u

/// Converts a palette handle to the 32-bit descriptor field and back.
inline uint32_t QfPaletteToField(HPALETTE palette)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(palette));
}
inline HPALETTE QfPaletteFromField(uint32_t field)
{
    return reinterpret_cast<HPALETTE>(static_cast<uintptr_t>(field));
}

/// Number of formats; format ids run 1..n.
QF_API int32_t qfFileGetFileFmtNum();

/// Writes the extensions of a format as one ';'-separated ANSI list without dots into
/// `pszExtArea` (QF_FORMAT_EXT_AREA bytes). `nSelect` is 4 for the full list (the only value
/// the engine passes). Non-zero on success; 0 for an unknown id or a null area.
QF_API int32_t qfFileGetFormatExt(int32_t nFormatId, char* pszExtArea, int32_t nSelect);

/// Handle of the library-owned ImageFormatInfo of a format; null for an unknown id. The
/// block lives as long as the process; callers lock and unlock it and never free it.
QF_API HGLOBAL qfFileGetFormatInfo(int32_t nFormatId);

/// Id of the format whose extension list or name matches `pszName` (ignoring case and a
/// leading dot); 0 when none does.
QF_API int32_t qfFileGetFormatID(const char* pszName);

/// Reads the header of a file and returns a new ImageFileData block describing it (movable
/// global memory, freed by the caller with q32FileFreeFileData), or null with the last error
/// set when the file is missing, not an image the library knows, unsupported or corrupt.
/// No pixels are decoded. `nFlags` is 0.
QF_API HGLOBAL qfFileGetFileData(const char* pszPath, int32_t nFlags);

/// Frees an ImageFileData block (the library's or an engine-made write record) and the
/// palette handles its descriptors still hold. Returns non-zero when a block was freed.
QF_API int32_t q32FileFreeFileData(HGLOBAL hFileData);

/// Non-zero when the file at `pszPath` is a camera raw file (by extension and header).
QF_API int32_t q32FileIsDSCRawDataFile(const char* pszPath);

/// Decodes the images the transfer block asks for (main image, preview, or with
/// QF_MODE_MASK the mask as 8-bit rows) and pushes their rows through `pfnRows`.
/// > 0 on success; <= 0 with the last error set on failure or when the callback stops.
QF_API int32_t qfFileRead(HGLOBAL hFileData, QfTransferBlock* pBlock, QfReadRowsProc pfnRows);

/// As qfFileRead, with the layers of a layered file merged into one picture.
QF_API int32_t qfFileReadMerged(HGLOBAL hFileData, QfTransferBlock* pBlock, QfReadRowsProc pfnRows);

/// Writes the file named in a write record in the record's format, pulling rows through
/// `pfnRows` (the main image; the preview too where the block asks and the format can hold
/// one). > 0 on success; <= 0 with the last error set, and no partial file left behind.
QF_API int32_t qfFileWrite(HGLOBAL hFileData, QfTransferBlock* pBlock, QfWriteRowsProc pfnRows);

/// Property block of a file's decoded metadata: a movable global block of a 32-bit count at
/// offset 4 and 80-byte entries from offset 8, freed with qfFileFreeProperty. Non-zero on
/// success with *phProperty set.
QF_API int32_t qfFileGetProperty(HGLOBAL hFileData, HGLOBAL* phProperty);
QF_API int32_t qfFileFreeProperty(HGLOBAL hFileData, HGLOBAL hProperty);

/// One entry of the property block.
struct QfPropertyEntry {
    uint32_t reserved0;
    uint16_t valueType;  ///< 1 text, 2 int32, 5 byte block, 15 int16
    uint16_t propertyId; ///< 5200..5299 EXIF, 5600..5799 IPTC
    char name[62];       ///< ANSI, offsets 8..69
    uint16_t blockType;  ///< byte block sub-type: 4 integer, 5 and 10 rational, else raw
    int32_t length;      ///< value bytes (a byte block counts its 4-byte lead)
    /// Types 2 and 15: the value. Types 1 and 5: the byte offset of the text or byte block from
    /// the start of the property block (addresses do not fit 32 bits on 64-bit systems, and an
    /// offset keeps the block one self-contained allocation).
    uint32_t value;
};
static_assert(offsetof(QfPropertyEntry, valueType) == 4);
static_assert(offsetof(QfPropertyEntry, propertyId) == 6);
static_assert(offsetof(QfPropertyEntry, name) == 8);
static_assert(offsetof(QfPropertyEntry, blockType) == 70);
static_assert(offsetof(QfPropertyEntry, length) == 72);
static_assert(offsetof(QfPropertyEntry, value) == 76);
static_assert(sizeof(QfPropertyEntry) == 80);
