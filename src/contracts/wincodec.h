// SPDX-License-Identifier: MIT
// The imaging component's interfaces, identifiers, enumerations and error codes, in slot order.
#pragma once

#include "tavrel/platform/combase.h"
#include "tavrel/platform/objidl.h"
#include "tavrel/platform/oleauto.h"
#include "tavrel/platform/types.h"

// ---- error codes (facility 0x898) ----

inline constexpr HRESULT WINCODEC_ERR_GENERIC_ERROR = E_FAIL;
inline constexpr HRESULT WINCODEC_ERR_INVALIDPARAMETER = E_INVALIDARG;
inline constexpr HRESULT WINCODEC_ERR_OUTOFMEMORY = E_OUTOFMEMORY;
inline constexpr HRESULT WINCODEC_ERR_NOTIMPLEMENTED = E_NOTIMPL;
inline constexpr HRESULT WINCODEC_ERR_ABORTED = E_ABORT;
inline constexpr HRESULT WINCODEC_ERR_ACCESSDENIED = E_ACCESSDENIED;
inline constexpr HRESULT WINCODEC_ERR_VALUEOVERFLOW = INTSAFE_E_ARITHMETIC_OVERFLOW;
inline constexpr HRESULT WINCODEC_ERR_WRONGSTATE = TAVREL_HR(0x88982F04);
inline constexpr HRESULT WINCODEC_ERR_VALUEOUTOFRANGE = TAVREL_HR(0x88982F05);
inline constexpr HRESULT WINCODEC_ERR_UNKNOWNIMAGEFORMAT = TAVREL_HR(0x88982F07);
inline constexpr HRESULT WINCODEC_ERR_UNSUPPORTEDVERSION = TAVREL_HR(0x88982F0B);
inline constexpr HRESULT WINCODEC_ERR_NOTINITIALIZED = TAVREL_HR(0x88982F0C);
inline constexpr HRESULT WINCODEC_ERR_ALREADYLOCKED = TAVREL_HR(0x88982F0D);
inline constexpr HRESULT WINCODEC_ERR_PROPERTYNOTFOUND = TAVREL_HR(0x88982F40);
inline constexpr HRESULT WINCODEC_ERR_PROPERTYNOTSUPPORTED = TAVREL_HR(0x88982F41);
inline constexpr HRESULT WINCODEC_ERR_PROPERTYSIZE = TAVREL_HR(0x88982F42);
inline constexpr HRESULT WINCODEC_ERR_CODECPRESENT = TAVREL_HR(0x88982F43);
inline constexpr HRESULT WINCODEC_ERR_CODECNOTHUMBNAIL = TAVREL_HR(0x88982F44);
inline constexpr HRESULT WINCODEC_ERR_PALETTEUNAVAILABLE = TAVREL_HR(0x88982F45);
inline constexpr HRESULT WINCODEC_ERR_CODECTOOMANYSCANLINES = TAVREL_HR(0x88982F46);
inline constexpr HRESULT WINCODEC_ERR_INTERNALERROR = TAVREL_HR(0x88982F48);
inline constexpr HRESULT WINCODEC_ERR_SOURCERECTDOESNOTMATCHDIMENSIONS = TAVREL_HR(0x88982F49);
inline constexpr HRESULT WINCODEC_ERR_COMPONENTNOTFOUND = TAVREL_HR(0x88982F50);
inline constexpr HRESULT WINCODEC_ERR_IMAGESIZEOUTOFRANGE = TAVREL_HR(0x88982F51);
inline constexpr HRESULT WINCODEC_ERR_TOOMUCHMETADATA = TAVREL_HR(0x88982F52);
inline constexpr HRESULT WINCODEC_ERR_BADIMAGE = TAVREL_HR(0x88982F60);
inline constexpr HRESULT WINCODEC_ERR_BADHEADER = TAVREL_HR(0x88982F61);
inline constexpr HRESULT WINCODEC_ERR_FRAMEMISSING = TAVREL_HR(0x88982F62);
inline constexpr HRESULT WINCODEC_ERR_BADMETADATAHEADER = TAVREL_HR(0x88982F63);
inline constexpr HRESULT WINCODEC_ERR_BADSTREAMDATA = TAVREL_HR(0x88982F70);
inline constexpr HRESULT WINCODEC_ERR_STREAMWRITE = TAVREL_HR(0x88982F71);
inline constexpr HRESULT WINCODEC_ERR_STREAMREAD = TAVREL_HR(0x88982F72);
inline constexpr HRESULT WINCODEC_ERR_STREAMNOTAVAILABLE = TAVREL_HR(0x88982F73);
inline constexpr HRESULT WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT = TAVREL_HR(0x88982F80);
inline constexpr HRESULT WINCODEC_ERR_UNSUPPORTEDOPERATION = TAVREL_HR(0x88982F81);
inline constexpr HRESULT WINCODEC_ERR_INVALIDREGISTRATION = TAVREL_HR(0x88982F8A);
inline constexpr HRESULT WINCODEC_ERR_COMPONENTINITIALIZEFAILURE = TAVREL_HR(0x88982F8B);
inline constexpr HRESULT WINCODEC_ERR_INSUFFICIENTBUFFER = TAVREL_HR(0x88982F8C);
inline constexpr HRESULT WINCODEC_ERR_DUPLICATEMETADATAPRESENT = TAVREL_HR(0x88982F8D);
inline constexpr HRESULT WINCODEC_ERR_PROPERTYUNEXPECTEDTYPE = TAVREL_HR(0x88982F8E);
inline constexpr HRESULT WINCODEC_ERR_UNEXPECTEDSIZE = TAVREL_HR(0x88982F8F);
inline constexpr HRESULT WINCODEC_ERR_INVALIDQUERYREQUEST = TAVREL_HR(0x88982F90);
inline constexpr HRESULT WINCODEC_ERR_UNEXPECTEDMETADATATYPE = TAVREL_HR(0x88982F91);
inline constexpr HRESULT WINCODEC_ERR_REQUESTONLYVALIDATMETADATAROOT = TAVREL_HR(0x88982F92);
inline constexpr HRESULT WINCODEC_ERR_INVALIDQUERYCHARACTER = TAVREL_HR(0x88982F93);

// ---- basic types ----

using WICColor = UINT;
using WICInProcPointer = BYTE*;
using WICPixelFormatGUID = GUID;
using REFWICPixelFormatGUID = const GUID&;
using HICON = struct HICON__*;

struct WICRect {
    INT X;
    INT Y;
    INT Width;
    INT Height;
};

struct PROPBAG2;
struct IPropertyBag2;
struct IWICBitmapSource;
struct IWICMetadataQueryWriter;

// ---- enumerations ----

enum WICDecodeOptions : DWORD {
    WICDecodeMetadataCacheOnDemand = 0,
    WICDecodeMetadataCacheOnLoad = 1
};
enum WICBitmapCreateCacheOption : DWORD {
    WICBitmapNoCache = 0,
    WICBitmapCacheOnDemand = 1,
    WICBitmapCacheOnLoad = 2
};
enum WICBitmapAlphaChannelOption : DWORD {
    WICBitmapUseAlpha = 0,
    WICBitmapUsePremultipliedAlpha = 1,
    WICBitmapIgnoreAlpha = 2
};
enum WICBitmapEncoderCacheOption : DWORD {
    WICBitmapEncoderCacheInMemory = 0,
    WICBitmapEncoderCacheTempFile = 1,
    WICBitmapEncoderNoCache = 2
};
enum WICBitmapPaletteType : DWORD {
    WICBitmapPaletteTypeCustom = 0,
    WICBitmapPaletteTypeMedianCut = 1,
    WICBitmapPaletteTypeFixedBW = 2,
    WICBitmapPaletteTypeFixedHalftone8 = 3,
    WICBitmapPaletteTypeFixedHalftone27 = 4,
    WICBitmapPaletteTypeFixedHalftone64 = 5,
    WICBitmapPaletteTypeFixedHalftone125 = 6,
    WICBitmapPaletteTypeFixedHalftone216 = 7,
    WICBitmapPaletteTypeFixedWebPalette = 7,
    WICBitmapPaletteTypeFixedHalftone252 = 8,
    WICBitmapPaletteTypeFixedHalftone256 = 9,
    WICBitmapPaletteTypeFixedGray4 = 10,
    WICBitmapPaletteTypeFixedGray16 = 11,
    WICBitmapPaletteTypeFixedGray256 = 12
};
enum WICBitmapDitherType : DWORD {
    WICBitmapDitherTypeNone = 0,
    WICBitmapDitherTypeSolid = 0,
    WICBitmapDitherTypeOrdered4x4 = 1,
    WICBitmapDitherTypeOrdered8x8 = 2,
    WICBitmapDitherTypeOrdered16x16 = 3,
    WICBitmapDitherTypeSpiral4x4 = 4,
    WICBitmapDitherTypeSpiral8x8 = 5,
    WICBitmapDitherTypeDualSpiral4x4 = 6,
    WICBitmapDitherTypeDualSpiral8x8 = 7,
    WICBitmapDitherTypeErrorDiffusion = 8
};
enum WICBitmapInterpolationMode : DWORD {
    WICBitmapInterpolationModeNearestNeighbor = 0,
    WICBitmapInterpolationModeLinear = 1,
    WICBitmapInterpolationModeCubic = 2,
    WICBitmapInterpolationModeFant = 3,
    WICBitmapInterpolationModeHighQualityCubic = 4
};
enum WICBitmapTransformOptions : DWORD {
    WICBitmapTransformRotate0 = 0,
    WICBitmapTransformRotate90 = 1,
    WICBitmapTransformRotate180 = 2,
    WICBitmapTransformRotate270 = 3,
    WICBitmapTransformFlipHorizontal = 8,
    WICBitmapTransformFlipVertical = 16
};
enum WICBitmapLockFlags : DWORD { WICBitmapLockRead = 1, WICBitmapLockWrite = 2 };
enum WICColorContextType : DWORD {
    WICColorContextUninitialized = 0,
    WICColorContextProfile = 1,
    WICColorContextExifColorSpace = 2
};
enum WICComponentType : DWORD {
    WICDecoder = 0x1,
    WICEncoder = 0x2,
    WICPixelFormatConverter = 0x4,
    WICMetadataReader = 0x8,
    WICMetadataWriter = 0x10,
    WICPixelFormat = 0x20,
    WICAllComponents = 0x3F
};
enum WICComponentEnumerateOptions : DWORD {
    WICComponentEnumerateDefault = 0,
    WICComponentEnumerateRefresh = 0x1,
    WICComponentEnumerateDisabled = 0x80000000,
    WICComponentEnumerateUnsigned = 0x40000000,
    WICComponentEnumerateBuiltInOnly = 0x20000000
};
enum WICDecoderCapabilities : DWORD {
    WICBitmapDecoderCapabilitySameEncoder = 0x1,
    WICBitmapDecoderCapabilityCanDecodeAllImages = 0x2,
    WICBitmapDecoderCapabilityCanDecodeSomeImages = 0x4,
    WICBitmapDecoderCapabilityCanEnumerateMetadata = 0x8,
    WICBitmapDecoderCapabilityCanDecodeThumbnail = 0x10
};
enum WICMetadataCreationOptions : DWORD {
    WICMetadataCreationDefault = 0,
    WICMetadataCreationAllowUnknown = 0,
    WICMetadataCreationFailUnknown = 0x10000,
    WICMetadataCreationMask = 0xFFFF0000
};
enum WICPersistOptions : DWORD {
    WICPersistOptionDefault = 0,
    WICPersistOptionLittleEndian = 0,
    WICPersistOptionBigEndian = 0x1,
    WICPersistOptionStrictFormat = 0x2,
    WICPersistOptionNoCacheStream = 0x4,
    WICPersistOptionPreferUTF8 = 0x8,
    WICPersistOptionMask = 0xFFFF
};

// ---- class identifiers, containers, vendors ----

TAVREL_DEFINE_GUID(CLSID_WICImagingFactory, 0xCACAF262, 0x9370, 0x4615, 0xA1, 0x3B, 0x9F, 0x55,
                   0x39, 0xDA, 0x4C, 0x0A);
inline constexpr const GUID& CLSID_WICImagingFactory1 = CLSID_WICImagingFactory;
TAVREL_DEFINE_GUID(CLSID_WICImagingFactory2, 0x317D06E8, 0x5F24, 0x433D, 0xBD, 0xF7, 0x79, 0xCE,
                   0x68, 0xD8, 0xAB, 0xC2);
TAVREL_DEFINE_GUID(GUID_VendorMicrosoft, 0xF0E749CA, 0xEDEF, 0x4589, 0xA7, 0x3A, 0xEE, 0x0E, 0x62,
                   0x6A, 0x2A, 0x2B);

TAVREL_DEFINE_GUID(GUID_ContainerFormatBmp, 0x0AF1D87E, 0xFCFE, 0x4188, 0xBD, 0xEB, 0xA7, 0x90,
                   0x64, 0x71, 0xCB, 0xE3);
TAVREL_DEFINE_GUID(GUID_ContainerFormatPng, 0x1B7CFAF4, 0x713F, 0x473C, 0xBB, 0xCD, 0x61, 0x37,
                   0x42, 0x5F, 0xAE, 0xAF);
TAVREL_DEFINE_GUID(GUID_ContainerFormatIco, 0xA3A860C4, 0x338F, 0x4C17, 0x91, 0x9A, 0xFB, 0xA4,
                   0xB5, 0x62, 0x8F, 0x21);
TAVREL_DEFINE_GUID(GUID_ContainerFormatJpeg, 0x19E4A5AA, 0x5662, 0x4FC5, 0xA0, 0xC0, 0x17, 0x58,
                   0x02, 0x8E, 0x10, 0x57);
TAVREL_DEFINE_GUID(GUID_ContainerFormatTiff, 0x163BCC30, 0xE2E9, 0x4F0B, 0x96, 0x1D, 0xA3, 0xE9,
                   0xFD, 0xB7, 0x88, 0xA3);
TAVREL_DEFINE_GUID(GUID_ContainerFormatGif, 0x1F8A5601, 0x7D4D, 0x4CBD, 0x9C, 0x82, 0x1B, 0xC8,
                   0xD4, 0xEE, 0xB9, 0xA5);

// ---- metadata formats ----

TAVREL_DEFINE_GUID(GUID_MetadataFormatXMP, 0xBB5ACC38, 0xF216, 0x4CEC, 0xA6, 0xC5, 0x5F, 0x6E, 0x73,
                   0x97, 0x63, 0xA9);
TAVREL_DEFINE_GUID(GUID_MetadataFormatXMPBag, 0x833CCA5F, 0xDCB7, 0x4516, 0x80, 0x6F, 0x65, 0x96,
                   0xAB, 0x26, 0xDC, 0xE4);
TAVREL_DEFINE_GUID(GUID_MetadataFormatXMPSeq, 0x63E8DF02, 0xEB6C, 0x456C, 0xA2, 0x24, 0xB2, 0x5E,
                   0x79, 0x4F, 0xD6, 0x48);
TAVREL_DEFINE_GUID(GUID_MetadataFormatXMPAlt, 0x7B08A675, 0x91AA, 0x481B, 0xA7, 0x98, 0x4D, 0xA9,
                   0x49, 0x08, 0x61, 0x3B);
TAVREL_DEFINE_GUID(GUID_MetadataFormatIfd, 0x537396C6, 0x2D8A, 0x4BB6, 0x9B, 0xF8, 0x2F, 0x0A, 0x8E,
                   0x2A, 0x3A, 0xDF);
TAVREL_DEFINE_GUID(GUID_MetadataFormatExif, 0x1C3C4F9D, 0xB84A, 0x467D, 0x94, 0x93, 0x36, 0xCF,
                   0xBD, 0x59, 0xEA, 0x57);
TAVREL_DEFINE_GUID(GUID_MetadataFormatGps, 0x7134AB8A, 0x9351, 0x44AD, 0xAF, 0x62, 0x44, 0x8D, 0xB6,
                   0xB5, 0x02, 0xEC);
TAVREL_DEFINE_GUID(GUID_MetadataFormatApp0, 0x79007028, 0x268D, 0x45D6, 0xA3, 0xC2, 0x35, 0x4E,
                   0x6A, 0x50, 0x4B, 0xC9);
TAVREL_DEFINE_GUID(GUID_MetadataFormatApp1, 0x8FD3DFC3, 0xF951, 0x492B, 0x81, 0x7F, 0x69, 0xC2,
                   0xE6, 0xD9, 0xA5, 0xB0);
TAVREL_DEFINE_GUID(GUID_MetadataFormatApp13, 0x326556A2, 0xF502, 0x4354, 0x9C, 0xC0, 0x8E, 0x3F,
                   0x48, 0xEA, 0xF6, 0xB5);
TAVREL_DEFINE_GUID(GUID_MetadataFormatIRB, 0x16100D66, 0x8570, 0x4BB9, 0xB9, 0x2D, 0xFD, 0xA4, 0xB2,
                   0x3E, 0xCE, 0x67);
TAVREL_DEFINE_GUID(GUID_MetadataFormat8BIMIPTC, 0x0010568C, 0x0852, 0x4E6A, 0xB1, 0x91, 0x5C, 0x33,
                   0xAC, 0x5B, 0x04, 0x30);
TAVREL_DEFINE_GUID(GUID_MetadataFormatIPTC, 0x4FAB0914, 0xE129, 0x4087, 0xA1, 0xD1, 0xBC, 0x81,
                   0x2D, 0x45, 0xA7, 0xB5);
TAVREL_DEFINE_GUID(GUID_MetadataFormatThumbnail, 0x243DCEE9, 0x8703, 0x40EE, 0x8E, 0xF0, 0x22, 0xA6,
                   0x00, 0xB8, 0x05, 0x8C);
TAVREL_DEFINE_GUID(GUID_MetadataFormatSubIfd, 0x58A2E128, 0x2DB9, 0x4E57, 0xBB, 0x14, 0x51, 0x77,
                   0x89, 0x1E, 0xD3, 0x31);
TAVREL_DEFINE_GUID(GUID_MetadataFormatInterop, 0xED686F8E, 0x681F, 0x4C8B, 0xBD, 0x41, 0xA8, 0xAD,
                   0xDB, 0xF6, 0xB3, 0xFC);
TAVREL_DEFINE_GUID(GUID_MetadataFormatUnknown, 0xA45E592F, 0x9078, 0x4A7C, 0xAD, 0xB5, 0x4E, 0xDC,
                   0x4F, 0xD6, 0x1B, 0x1F);

// ---- pixel formats: all {6FDDC324-4E03-4BFE-B185-3D77768DC9xx} ----

#define MIO_WIC_PIXEL_FORMAT(name, last)                                                           \
    TAVREL_DEFINE_GUID(GUID_WICPixelFormat##name, 0x6FDDC324, 0x4E03, 0x4BFE, 0xB1, 0x85, 0x3D,    \
                       0x77, 0x76, 0x8D, 0xC9, last)
MIO_WIC_PIXEL_FORMAT(DontCare, 0x00);
MIO_WIC_PIXEL_FORMAT(Undefined, 0x00);
MIO_WIC_PIXEL_FORMAT(1bppIndexed, 0x01);
MIO_WIC_PIXEL_FORMAT(2bppIndexed, 0x02);
MIO_WIC_PIXEL_FORMAT(4bppIndexed, 0x03);
MIO_WIC_PIXEL_FORMAT(8bppIndexed, 0x04);
MIO_WIC_PIXEL_FORMAT(BlackWhite, 0x05);
MIO_WIC_PIXEL_FORMAT(2bppGray, 0x06);
MIO_WIC_PIXEL_FORMAT(4bppGray, 0x07);
MIO_WIC_PIXEL_FORMAT(8bppGray, 0x08);
MIO_WIC_PIXEL_FORMAT(16bppBGR555, 0x09);
MIO_WIC_PIXEL_FORMAT(16bppBGR565, 0x0A);
MIO_WIC_PIXEL_FORMAT(16bppGray, 0x0B);
MIO_WIC_PIXEL_FORMAT(24bppBGR, 0x0C);
MIO_WIC_PIXEL_FORMAT(24bppRGB, 0x0D);
MIO_WIC_PIXEL_FORMAT(32bppBGR, 0x0E);
MIO_WIC_PIXEL_FORMAT(32bppBGRA, 0x0F);
MIO_WIC_PIXEL_FORMAT(32bppPBGRA, 0x10);
MIO_WIC_PIXEL_FORMAT(32bppGrayFloat, 0x11);
MIO_WIC_PIXEL_FORMAT(16bppGrayFixedPoint, 0x13);
MIO_WIC_PIXEL_FORMAT(32bppBGR101010, 0x14);
MIO_WIC_PIXEL_FORMAT(48bppRGB, 0x15);
MIO_WIC_PIXEL_FORMAT(64bppRGBA, 0x16);
MIO_WIC_PIXEL_FORMAT(32bppCMYK, 0x1C);
MIO_WIC_PIXEL_FORMAT(24bpp3Channels, 0x20);
MIO_WIC_PIXEL_FORMAT(32bpp4Channels, 0x21);
MIO_WIC_PIXEL_FORMAT(32bpp3ChannelsAlpha, 0x2E);
MIO_WIC_PIXEL_FORMAT(32bppRGBE, 0x3D);
MIO_WIC_PIXEL_FORMAT(16bppGrayHalf, 0x3E);
MIO_WIC_PIXEL_FORMAT(32bppGrayFixedPoint, 0x3F);
#undef MIO_WIC_PIXEL_FORMAT

// ---- interface identifiers ----

TAVREL_DEFINE_GUID(IID_IWICImagingFactory, 0xEC5EC8A9, 0xC395, 0x4314, 0x9C, 0x77, 0x54, 0xD7, 0xA9,
                   0x35, 0xFF, 0x70);
#define MIO_WIC_IID(name, first)                                                                   \
    TAVREL_DEFINE_GUID(IID_##name, first, 0xA8F2, 0x4877, 0xBA, 0x0A, 0xFD, 0x2B, 0x66, 0x45,      \
                       0xFB, 0x94)
MIO_WIC_IID(IWICBitmapSource, 0x00000120);
MIO_WIC_IID(IWICBitmap, 0x00000121);
MIO_WIC_IID(IWICBitmapLock, 0x00000123);
MIO_WIC_IID(IWICPalette, 0x00000040);
MIO_WIC_IID(IWICBitmapEncoder, 0x00000103);
MIO_WIC_IID(IWICBitmapFrameEncode, 0x00000105);
MIO_WIC_IID(IWICFormatConverter, 0x00000301);
MIO_WIC_IID(IWICBitmapScaler, 0x00000302);
#undef MIO_WIC_IID
TAVREL_DEFINE_GUID(IID_IWICBitmapDecoder, 0x9EDDE9E7, 0x8DEE, 0x47EA, 0x99, 0xDF, 0xE6, 0xFA, 0xF2,
                   0xED, 0x44, 0xBF);
TAVREL_DEFINE_GUID(IID_IWICBitmapFrameDecode, 0x3B16811B, 0x6A43, 0x4EC9, 0xA8, 0x13, 0x3D, 0x93,
                   0x0C, 0x13, 0xB9, 0x40);
TAVREL_DEFINE_GUID(IID_IWICMetadataQueryReader, 0x30989668, 0xE1C9, 0x4597, 0xB3, 0x95, 0x45, 0x8E,
                   0xED, 0xB8, 0x08, 0xDF);
TAVREL_DEFINE_GUID(IID_IWICMetadataQueryWriter, 0xA721791A, 0x0DEF, 0x4D06, 0xBD, 0x91, 0x21, 0x18,
                   0xBF, 0x1D, 0xB1, 0x0B);
TAVREL_DEFINE_GUID(IID_IWICFastMetadataEncoder, 0xB84E2C09, 0x78C9, 0x4AC4, 0x8B, 0xD3, 0x52, 0x4A,
                   0xE1, 0x66, 0x3A, 0x2F);
TAVREL_DEFINE_GUID(IID_IWICStream, 0x135FF860, 0x22B7, 0x4DDF, 0xB0, 0xF6, 0x21, 0x8F, 0x4F, 0x29,
                   0x9A, 0x43);
TAVREL_DEFINE_GUID(IID_IWICBitmapFlipRotator, 0x5009834F, 0x2D6A, 0x41CE, 0x9E, 0x1B, 0x17, 0xC5,
                   0xAF, 0xF7, 0xA7, 0x82);
TAVREL_DEFINE_GUID(IID_IWICBitmapClipper, 0xE4FBCF03, 0x223D, 0x4E81, 0x93, 0x33, 0xD6, 0x35, 0x55,
                   0x6D, 0xD1, 0xB5);
TAVREL_DEFINE_GUID(IID_IWICMetadataBlockReader, 0xFEAA2A8D, 0xB3F3, 0x43E4, 0xB2, 0x5C, 0xD1, 0xDE,
                   0x99, 0x0A, 0x1A, 0xE1);
TAVREL_DEFINE_GUID(IID_IWICMetadataBlockWriter, 0x08FB9676, 0xB444, 0x41E8, 0x8D, 0xBE, 0x6A, 0x53,
                   0xA5, 0x42, 0xBF, 0xF1);
TAVREL_DEFINE_GUID(IID_IWICComponentFactory, 0x412D0C3A, 0x9650, 0x44FA, 0xAF, 0x5B, 0xDD, 0x2A,
                   0x06, 0xC8, 0xE8, 0xFB);

// ---- interfaces ----

// Passed only by pointer through this contract: the engine never calls into them.
struct IWICComponentInfo;
struct IWICBitmapDecoderInfo;
struct IWICBitmapEncoderInfo;
struct IWICColorContext;
struct IWICColorTransform;
struct IWICMetadataReader;
struct IWICMetadataWriter;

struct IWICPalette : IUnknown {
    STDMETHOD(InitializePredefined)
    (WICBitmapPaletteType ePaletteType, BOOL fAddTransparentColor) PURE;
    STDMETHOD(InitializeCustom)(WICColor* pColors, UINT cCount) PURE;
    STDMETHOD(InitializeFromBitmap)
    (IWICBitmapSource* pISurface, UINT cCount, BOOL fAddTransparentColor) PURE;
    STDMETHOD(InitializeFromPalette)(IWICPalette* pIPalette) PURE;
    STDMETHOD(GetType)(WICBitmapPaletteType* pePaletteType) PURE;
    STDMETHOD(GetColorCount)(UINT* pcCount) PURE;
    /// Copies up to cCount colours (0xAARRGGBB); pcActualColors receives how many were copied.
    STDMETHOD(GetColors)(UINT cCount, WICColor* pColors, UINT* pcActualColors) PURE;
    STDMETHOD(IsBlackWhite)(BOOL* pfIsBlackWhite) PURE;
    STDMETHOD(IsGrayscale)(BOOL* pfIsGrayscale) PURE;
    STDMETHOD(HasAlpha)(BOOL* pfHasAlpha) PURE;
};

struct IWICBitmapSource : IUnknown {
    STDMETHOD(GetSize)(UINT* puiWidth, UINT* puiHeight) PURE;
    STDMETHOD(GetPixelFormat)(WICPixelFormatGUID* pPixelFormat) PURE;
    /// Dots per inch; 96 x 96 where the file carries no usable resolution.
    STDMETHOD(GetResolution)(double* pDpiX, double* pDpiY) PURE;
    /// WINCODEC_ERR_PALETTEUNAVAILABLE for sources that are not indexed.
    STDMETHOD(CopyPalette)(IWICPalette* pIPalette) PURE;
    /// Copies a rectangle (null: the whole picture) in the source's pixel format. Rows are
    /// cbStride bytes apart; only (Width * bpp + 7) / 8 bytes of each row are written, so the
    /// buffer needs cbStride * (Height - 1) + that many bytes. E_INVALIDARG for a rectangle
    /// outside the picture, a short stride or buffer, or a null buffer.
    STDMETHOD(CopyPixels)
    (const WICRect* prc, UINT cbStride, UINT cbBufferSize, BYTE* pbBuffer) PURE;
};

struct IWICFormatConverter : IWICBitmapSource {
    /// Converts lazily: pixels are pulled from pISource row band by row band in CopyPixels.
    /// WINCODEC_ERR_UNSUPPORTEDOPERATION for a pair that cannot be converted.
    STDMETHOD(Initialize)
    (IWICBitmapSource* pISource, REFWICPixelFormatGUID dstFormat, WICBitmapDitherType dither,
     IWICPalette* pIPalette, double alphaThresholdPercent,
     WICBitmapPaletteType paletteTranslate) PURE;
    STDMETHOD(CanConvert)
    (REFWICPixelFormatGUID srcPixelFormat, REFWICPixelFormatGUID dstPixelFormat,
     BOOL* pfCanConvert) PURE;
};

struct IWICBitmapScaler : IWICBitmapSource {
    /// Output is exactly uiWidth x uiHeight in the source's pixel format. E_INVALIDARG for a
    /// zero size, WINCODEC_ERR_WRONGSTATE for a second call.
    STDMETHOD(Initialize)
    (IWICBitmapSource* pISource, UINT uiWidth, UINT uiHeight, WICBitmapInterpolationMode mode) PURE;
};

struct IWICBitmapClipper : IWICBitmapSource {
    STDMETHOD(Initialize)(IWICBitmapSource* pISource, const WICRect* prc) PURE;
};

struct IWICBitmapFlipRotator : IWICBitmapSource {
    STDMETHOD(Initialize)(IWICBitmapSource* pISource, WICBitmapTransformOptions options) PURE;
};

struct IWICBitmapLock : IUnknown {
    STDMETHOD(GetSize)(UINT* puiWidth, UINT* puiHeight) PURE;
    STDMETHOD(GetStride)(UINT* pcbStride) PURE;
    /// The pointer stays valid while the lock lives.
    STDMETHOD(GetDataPointer)(UINT* pcbBufferSize, WICInProcPointer* ppbData) PURE;
    STDMETHOD(GetPixelFormat)(WICPixelFormatGUID* pPixelFormat) PURE;
};

struct IWICBitmap : IWICBitmapSource {
    STDMETHOD(Lock)(const WICRect* prcLock, DWORD flags, IWICBitmapLock** ppILock) PURE;
    STDMETHOD(SetPalette)(IWICPalette* pIPalette) PURE;
    STDMETHOD(SetResolution)(double dpiX, double dpiY) PURE;
};

struct IWICFastMetadataEncoder : IUnknown {
    /// Writes the staged metadata into the decoder's own stream without re-encoding pixels.
    STDMETHOD(Commit)() PURE;
    STDMETHOD(GetMetadataQueryWriter)(IWICMetadataQueryWriter** ppIMetadataQueryWriter) PURE;
};

struct IWICStream : IStream {
    STDMETHOD(InitializeFromIStream)(IStream* pIStream) PURE;
    /// dwDesiredAccess: GENERIC_READ, GENERIC_WRITE (creates or truncates) or both.
    STDMETHOD(InitializeFromFilename)(LPCWSTR wzFileName, DWORD dwDesiredAccess) PURE;
    /// The memory stays the caller's and must outlive the stream; the stream never grows.
    STDMETHOD(InitializeFromMemory)(WICInProcPointer pbBuffer, DWORD cbBufferSize) PURE;
    STDMETHOD(InitializeFromIStreamRegion)
    (IStream* pIStream, ULARGE_INTEGER ulOffset, ULARGE_INTEGER ulMaxSize) PURE;
};

struct IWICEnumMetadataItem : IUnknown {
    STDMETHOD(Next)
    (ULONG celt, PROPVARIANT* rgeltSchema, PROPVARIANT* rgeltId, PROPVARIANT* rgeltValue,
     ULONG* pceltFetched) PURE;
    STDMETHOD(Skip)(ULONG celt) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IWICEnumMetadataItem** ppIEnumMetadataItem) PURE;
};

struct IWICMetadataQueryReader : IUnknown {
    STDMETHOD(GetContainerFormat)(GUID* pguidContainerFormat) PURE;
    STDMETHOD(GetLocation)(UINT cchMaxLength, WCHAR* wzNamespace, UINT* pcchActualLength) PURE;
    /// WINCODEC_ERR_PROPERTYNOTFOUND when the path names nothing. The caller clears the value.
    STDMETHOD(GetMetadataByName)(LPCWSTR wzName, PROPVARIANT* pvarValue) PURE;
    STDMETHOD(GetEnumerator)(IEnumString** ppIEnumString) PURE;
};

struct IWICMetadataQueryWriter : IWICMetadataQueryReader {
    STDMETHOD(SetMetadataByName)(LPCWSTR wzName, const PROPVARIANT* pvarValue) PURE;
    STDMETHOD(RemoveMetadataByName)(LPCWSTR wzName) PURE;
};

struct IWICBitmapFrameEncode;

struct IWICBitmapEncoder : IUnknown {
    /// The encoder keeps a reference to pIStream until it is released.
    STDMETHOD(Initialize)(IStream* pIStream, WICBitmapEncoderCacheOption cacheOption) PURE;
    STDMETHOD(GetContainerFormat)(GUID* pguidContainerFormat) PURE;
    STDMETHOD(GetEncoderInfo)(IWICBitmapEncoderInfo** ppIEncoderInfo) PURE;
    STDMETHOD(SetColorContexts)(UINT cCount, IWICColorContext** ppIColorContext) PURE;
    STDMETHOD(SetPalette)(IWICPalette* pIPalette) PURE;
    STDMETHOD(SetThumbnail)(IWICBitmapSource* pIThumbnail) PURE;
    STDMETHOD(SetPreview)(IWICBitmapSource* pIPreview) PURE;
    /// ppIEncoderOptions may be null; when given it receives null (no encoder options here).
    STDMETHOD(CreateNewFrame)
    (IWICBitmapFrameEncode** ppIFrameEncode, IPropertyBag2** ppIEncoderOptions) PURE;
    STDMETHOD(Commit)() PURE;
    STDMETHOD(GetMetadataQueryWriter)(IWICMetadataQueryWriter** ppIMetadataQueryWriter) PURE;
};

struct IWICBitmapFrameEncode : IUnknown {
    STDMETHOD(Initialize)(IPropertyBag2* pIEncoderOptions) PURE;
    STDMETHOD(SetSize)(UINT uiWidth, UINT uiHeight) PURE;
    STDMETHOD(SetResolution)(double dpiX, double dpiY) PURE;
    /// In/out: receives the closest format the encoder accepts.
    STDMETHOD(SetPixelFormat)(WICPixelFormatGUID* pPixelFormat) PURE;
    STDMETHOD(SetColorContexts)(UINT cCount, IWICColorContext** ppIColorContext) PURE;
    STDMETHOD(SetPalette)(IWICPalette* pIPalette) PURE;
    STDMETHOD(SetThumbnail)(IWICBitmapSource* pIThumbnail) PURE;
    STDMETHOD(WritePixels)(UINT lineCount, UINT cbStride, UINT cbBufferSize, BYTE* pbPixels) PURE;
    /// Pulls the source row band by row band, converting to the frame's format when needed.
    STDMETHOD(WriteSource)(IWICBitmapSource* pIBitmapSource, WICRect* prc) PURE;
    STDMETHOD(Commit)() PURE;
    STDMETHOD(GetMetadataQueryWriter)(IWICMetadataQueryWriter** ppIMetadataQueryWriter) PURE;
};

struct IWICBitmapFrameDecode;

struct IWICBitmapDecoder : IUnknown {
    STDMETHOD(QueryCapability)(IStream* pIStream, DWORD* pdwCapability) PURE;
    /// The decoder keeps a reference to pIStream for as long as it lives.
    STDMETHOD(Initialize)(IStream* pIStream, WICDecodeOptions cacheOptions) PURE;
    STDMETHOD(GetContainerFormat)(GUID* pguidContainerFormat) PURE;
    STDMETHOD(GetDecoderInfo)(IWICBitmapDecoderInfo** ppIDecoderInfo) PURE;
    STDMETHOD(CopyPalette)(IWICPalette* pIPalette) PURE;
    STDMETHOD(GetMetadataQueryReader)(IWICMetadataQueryReader** ppIMetadataQueryReader) PURE;
    STDMETHOD(GetPreview)(IWICBitmapSource** ppIBitmapSource) PURE;
    STDMETHOD(GetColorContexts)
    (UINT cCount, IWICColorContext** ppIColorContexts, UINT* pcActualCount) PURE;
    STDMETHOD(GetThumbnail)(IWICBitmapSource** ppIThumbnail) PURE;
    STDMETHOD(GetFrameCount)(UINT* pCount) PURE;
    /// WINCODEC_ERR_FRAMEMISSING for an index past the last frame.
    STDMETHOD(GetFrame)(UINT index, IWICBitmapFrameDecode** ppIBitmapFrame) PURE;
};

struct IWICBitmapFrameDecode : IWICBitmapSource {
    STDMETHOD(GetMetadataQueryReader)(IWICMetadataQueryReader** ppIMetadataQueryReader) PURE;
    STDMETHOD(GetColorContexts)
    (UINT cCount, IWICColorContext** ppIColorContexts, UINT* pcActualCount) PURE;
    /// The embedded preview (a JPEG's EXIF IFD1 picture), WINCODEC_ERR_CODECNOTHUMBNAIL when none.
    STDMETHOD(GetThumbnail)(IWICBitmapSource** ppIThumbnail) PURE;
};

struct IWICImagingFactory : IUnknown {
    STDMETHOD(CreateDecoderFromFilename)
    (LPCWSTR wzFilename, const GUID* pguidVendor, DWORD dwDesiredAccess,
     WICDecodeOptions metadataOptions, IWICBitmapDecoder** ppIDecoder) PURE;
    /// The decoder keeps its own reference to pIStream.
    STDMETHOD(CreateDecoderFromStream)
    (IStream* pIStream, const GUID* pguidVendor, WICDecodeOptions metadataOptions,
     IWICBitmapDecoder** ppIDecoder) PURE;
    /// The handle stays the caller's and must stay open while the decoder lives.
    STDMETHOD(CreateDecoderFromFileHandle)
    (ULONG_PTR hFile, const GUID* pguidVendor, WICDecodeOptions metadataOptions,
     IWICBitmapDecoder** ppIDecoder) PURE;
    STDMETHOD(CreateComponentInfo)(REFCLSID clsidComponent, IWICComponentInfo** ppIInfo) PURE;
    STDMETHOD(CreateDecoder)
    (REFGUID guidContainerFormat, const GUID* pguidVendor, IWICBitmapDecoder** ppIDecoder) PURE;
    STDMETHOD(CreateEncoder)
    (REFGUID guidContainerFormat, const GUID* pguidVendor, IWICBitmapEncoder** ppIEncoder) PURE;
    STDMETHOD(CreatePalette)(IWICPalette** ppIPalette) PURE;
    STDMETHOD(CreateFormatConverter)(IWICFormatConverter** ppIFormatConverter) PURE;
    STDMETHOD(CreateBitmapScaler)(IWICBitmapScaler** ppIBitmapScaler) PURE;
    STDMETHOD(CreateBitmapClipper)(IWICBitmapClipper** ppIBitmapClipper) PURE;
    STDMETHOD(CreateBitmapFlipRotator)(IWICBitmapFlipRotator** ppIBitmapFlipRotator) PURE;
    STDMETHOD(CreateStream)(IWICStream** ppIWICStream) PURE;
    STDMETHOD(CreateColorContext)(IWICColorContext** ppIWICColorContext) PURE;
    STDMETHOD(CreateColorTransformer)(IWICColorTransform** ppIWICColorTransform) PURE;
    STDMETHOD(CreateBitmap)
    (UINT uiWidth, UINT uiHeight, REFWICPixelFormatGUID pixelFormat,
     WICBitmapCreateCacheOption option, IWICBitmap** ppIBitmap) PURE;
    STDMETHOD(CreateBitmapFromSource)
    (IWICBitmapSource* pIBitmapSource, WICBitmapCreateCacheOption option,
     IWICBitmap** ppIBitmap) PURE;
    STDMETHOD(CreateBitmapFromSourceRect)
    (IWICBitmapSource* pIBitmapSource, UINT x, UINT y, UINT width, UINT height,
     IWICBitmap** ppIBitmap) PURE;
    STDMETHOD(CreateBitmapFromMemory)
    (UINT uiWidth, UINT uiHeight, REFWICPixelFormatGUID pixelFormat, UINT cbStride,
     UINT cbBufferSize, BYTE* pbBuffer, IWICBitmap** ppIBitmap) PURE;
    STDMETHOD(CreateBitmapFromHBITMAP)
    (HBITMAP hBitmap, HPALETTE hPalette, WICBitmapAlphaChannelOption options,
     IWICBitmap** ppIBitmap) PURE;
    STDMETHOD(CreateBitmapFromHICON)(HICON hIcon, IWICBitmap** ppIBitmap) PURE;
    STDMETHOD(CreateComponentEnumerator)
    (DWORD componentTypes, DWORD options, IEnumUnknown** ppIEnumUnknown) PURE;
    STDMETHOD(CreateFastMetadataEncoderFromDecoder)
    (IWICBitmapDecoder* pIDecoder, IWICFastMetadataEncoder** ppIFastEncoder) PURE;
    STDMETHOD(CreateFastMetadataEncoderFromFrameDecode)
    (IWICBitmapFrameDecode* pIFrameDecoder, IWICFastMetadataEncoder** ppIFastEncoder) PURE;
    STDMETHOD(CreateQueryWriter)
    (REFGUID guidMetadataFormat, const GUID* pguidVendor,
     IWICMetadataQueryWriter** ppIQueryWriter) PURE;
    STDMETHOD(CreateQueryWriterFromReader)
    (IWICMetadataQueryReader* pIQueryReader, const GUID* pguidVendor,
     IWICMetadataQueryWriter** ppIQueryWriter) PURE;
};

// Block-level metadata access (the SDK half of the component).
struct IWICMetadataBlockReader : IUnknown {
    STDMETHOD(GetContainerFormat)(GUID* pguidContainerFormat) PURE;
    STDMETHOD(GetCount)(UINT* pcCount) PURE;
    STDMETHOD(GetReaderByIndex)(UINT nIndex, IWICMetadataReader** ppIMetadataReader) PURE;
    STDMETHOD(GetEnumerator)(IEnumUnknown** ppIEnumMetadata) PURE;
};

struct IWICMetadataBlockWriter : IWICMetadataBlockReader {
    /// Copies every block of a frame of the same container into this new frame.
    STDMETHOD(InitializeFromBlockReader)(IWICMetadataBlockReader* pIMDBlockReader) PURE;
    STDMETHOD(GetWriterByIndex)(UINT nIndex, IWICMetadataWriter** ppIMetadataWriter) PURE;
    STDMETHOD(AddWriter)(IWICMetadataWriter* pIMetadataWriter) PURE;
    STDMETHOD(SetWriterByIndex)(UINT nIndex, IWICMetadataWriter* pIMetadataWriter) PURE;
    STDMETHOD(RemoveWriterByIndex)(UINT nIndex) PURE;
};

struct IWICComponentFactory : IWICImagingFactory {
    STDMETHOD(CreateMetadataReader)
    (REFGUID guidMetadataFormat, const GUID* pguidVendor, DWORD dwOptions, IStream* pIStream,
     IWICMetadataReader** ppIReader) PURE;
    STDMETHOD(CreateMetadataReaderFromContainer)
    (REFGUID guidContainerFormat, const GUID* pguidVendor, DWORD dwOptions, IStream* pIStream,
     IWICMetadataReader** ppIReader) PURE;
    STDMETHOD(CreateMetadataWriter)
    (REFGUID guidMetadataFormat, const GUID* pguidVendor, DWORD dwMetadataOptions,
     IWICMetadataWriter** ppIWriter) PURE;
    STDMETHOD(CreateMetadataWriterFromReader)
    (IWICMetadataReader* pIReader, const GUID* pguidVendor, IWICMetadataWriter** ppIWriter) PURE;
    STDMETHOD(CreateQueryReaderFromBlockReader)
    (IWICMetadataBlockReader* pIBlockReader, IWICMetadataQueryReader** ppIQueryReader) PURE;
    STDMETHOD(CreateQueryWriterFromBlockWriter)
    (IWICMetadataBlockWriter* pIBlockWriter, IWICMetadataQueryWriter** ppIQueryWriter) PURE;
    STDMETHOD(CreateEncoderPropertyBag)
    (PROPBAG2* ppropOptions, UINT cCount, IPropertyBag2** ppIPropertyBag) PURE;
};

TAVREL_INTERFACE_ID(IWICImagingFactory, IID_IWICImagingFactory);
TAVREL_INTERFACE_ID(IWICBitmapSource, IID_IWICBitmapSource);
TAVREL_INTERFACE_ID(IWICBitmap, IID_IWICBitmap);
TAVREL_INTERFACE_ID(IWICBitmapLock, IID_IWICBitmapLock);
TAVREL_INTERFACE_ID(IWICPalette, IID_IWICPalette);
TAVREL_INTERFACE_ID(IWICBitmapEncoder, IID_IWICBitmapEncoder);
TAVREL_INTERFACE_ID(IWICBitmapFrameEncode, IID_IWICBitmapFrameEncode);
TAVREL_INTERFACE_ID(IWICFormatConverter, IID_IWICFormatConverter);
TAVREL_INTERFACE_ID(IWICBitmapScaler, IID_IWICBitmapScaler);
TAVREL_INTERFACE_ID(IWICBitmapDecoder, IID_IWICBitmapDecoder);
TAVREL_INTERFACE_ID(IWICBitmapFrameDecode, IID_IWICBitmapFrameDecode);
TAVREL_INTERFACE_ID(IWICMetadataQueryReader, IID_IWICMetadataQueryReader);
TAVREL_INTERFACE_ID(IWICMetadataQueryWriter, IID_IWICMetadataQueryWriter);
TAVREL_INTERFACE_ID(IWICFastMetadataEncoder, IID_IWICFastMetadataEncoder);
TAVREL_INTERFACE_ID(IWICStream, IID_IWICStream);
TAVREL_INTERFACE_ID(IWICBitmapFlipRotator, IID_IWICBitmapFlipRotator);
TAVREL_INTERFACE_ID(IWICBitmapClipper, IID_IWICBitmapClipper);
TAVREL_INTERFACE_ID(IWICMetadataBlockReader, IID_IWICMetadataBlockReader);
TAVREL_INTERFACE_ID(IWICMetadataBlockWriter, IID_IWICMetadataBlockWriter);
TAVREL_INTERFACE_ID(IWICComponentFactory, IID_IWICComponentFactory);

/// Puts CLSID_WICImagingFactory (and CLSID_WICImagingFactory2, served by the same class) into
/// the process's in-process class table so that CoCreateInstance finds it. Called once by the
/// engine at start-up; calling it again is harmless. Implemented by the imaging backend.
TAVREL_API HRESULT mioImagingRegister();
/// Creates an imaging factory directly, without the class table (the same object that
/// CoCreateInstance of CLSID_WICImagingFactory gives). The caller owns the reference.
TAVREL_API HRESULT mioImagingCreateFactory(REFIID riid, void** ppv);
/// Removes what mioImagingRegister added.
TAVREL_API HRESULT mioImagingUnregister();
