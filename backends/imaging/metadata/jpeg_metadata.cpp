// SPDX-License-Identifier: MIT
// JPEG metadata as a block tree (JFIF, EXIF IFDs, Photoshop/IPTC, XMP, comments), the query
// reader and writer objects over it, and the in-place commit of the fast metadata encoder.
#include "metadata/jpeg_metadata.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "com_object.h"
#include "metadata/query_model.h"
#include "mio/formats/iptc.h"
#include "mio/formats/jpeg_segments.h"
#include "mio/formats/photoshop.h"
#include "mio/formats/tiff_ifd.h"
#include "mio/formats/xmp_packet.h"
#include "mio/formats/xmp_reader.h"
#include "stream.h"

namespace mio::imaging::metadata {
namespace {

namespace fmt = mio::formats;

constexpr uint64_t kKey8bimIptc = (uint64_t{fmt::kSignature8BIM} << 16) | fmt::kResourceIptc;
constexpr uint64_t kKey8bimResInfo =
    (uint64_t{fmt::kSignature8BIM} << 16) | fmt::kResourceResolution;

// ---- values ----

template <typename T> T* allocArray(size_t n)
{
    if (n > (size_t{1} << 28)) return nullptr;
    return static_cast<T*>(CoTaskMemAlloc(sizeof(T) * (n ? n : 1)));
}

LPWSTR dupWide(std::u16string_view s)
{
    auto* p = allocArray<WCHAR>(s.size() + 1);
    if (!p) return nullptr;
    std::memcpy(p, s.data(), s.size() * sizeof(WCHAR));
    p[s.size()] = 0;
    return p;
}

LPSTR dupNarrow(std::string_view s)
{
    auto* p = allocArray<CHAR>(s.size() + 1);
    if (!p) return nullptr;
    std::memcpy(p, s.data(), s.size());
    p[s.size()] = 0;
    return p;
}

std::shared_ptr<PROPVARIANT> wideValue(std::u16string_view s)
{
    auto v = makeValue();
    v->pwszVal = dupWide(s);
    if (!v->pwszVal) throw std::bad_alloc();
    v->vt = VT_LPWSTR;
    return v;
}

std::shared_ptr<PROPVARIANT> narrowValue(std::string_view s)
{
    auto v = makeValue();
    v->pszVal = dupNarrow(s);
    if (!v->pszVal) throw std::bad_alloc();
    v->vt = VT_LPSTR;
    return v;
}

std::shared_ptr<PROPVARIANT> blobValue(std::span<const uint8_t> bytes)
{
    auto v = makeValue();
    v->blob.pBlobData = allocArray<BYTE>(bytes.size());
    if (!v->blob.pBlobData) throw std::bad_alloc();
    if (!bytes.empty()) std::memcpy(v->blob.pBlobData, bytes.data(), bytes.size());
    v->blob.cbSize = static_cast<ULONG>(bytes.size());
    v->vt = VT_BLOB;
    return v;
}

template <typename T> void setNumbers(PROPVARIANT& pv, const std::vector<T>& values, bool vector)
{
    if (!vector && !values.empty()) {
        std::memcpy(&pv.cVal, values.data(), sizeof(T)); // the union's first bytes
        return;
    }
    auto* elems = allocArray<T>(values.size());
    if (!elems) throw std::bad_alloc();
    if (!values.empty()) std::memcpy(elems, values.data(), values.size() * sizeof(T));
    pv.caub.cElems = static_cast<ULONG>(values.size());
    pv.caub.pElems = reinterpret_cast<UCHAR*>(elems); // every counted array has this layout
}

std::shared_ptr<PROPVARIANT> tagValue(const fmt::TagValue& tv)
{
    using VT = fmt::ValueType;
    switch (tv.type) {
    case VT::LpStr:
        return narrowValue(std::get<std::string>(tv.data));
    case VT::LpWStr:
        return wideValue(std::get<std::u16string>(tv.data));
    case VT::Blob:
        return blobValue(std::get<std::vector<uint8_t>>(tv.data));
    default:
        break;
    }
    auto v = makeValue();
    const bool vec = tv.isVector;
    std::visit(
        [&](const auto& data) {
            using D = std::decay_t<decltype(data)>;
            if constexpr (std::is_same_v<D, std::string> || std::is_same_v<D, std::u16string>) {
                throw std::bad_alloc(); // not reached: strings are handled above
            } else {
                if (data.empty()) throw std::invalid_argument("empty");
                setNumbers(*v, data, vec);
            }
        },
        tv.data);
    v->vt = static_cast<VARTYPE>(static_cast<uint16_t>(tv.type) | (vec ? VT_VECTOR : 0));
    return v;
}

std::u16string dataName(std::u16string_view type, uint64_t n)
{
    return u"/{" + std::u16string(type) + u"=" + toU16(std::to_string(n)) + u"}";
}

Item leaf(std::u16string enumName, std::optional<uint64_t> id, std::u16string friendly,
          std::shared_ptr<PROPVARIANT> value)
{
    Item item;
    item.enumName = std::move(enumName);
    item.id = id;
    item.friendly = std::move(friendly);
    item.value = std::move(value);
    return item;
}

Item block(std::u16string name, std::optional<uint64_t> id, std::shared_ptr<Node> child)
{
    Item item;
    item.enumName = u"/" + name;
    item.id = id;
    item.friendly = std::move(name);
    item.child = std::move(child);
    return item;
}

std::shared_ptr<Node> makeNode(const GUID& format, std::u16string location)
{
    auto node = std::make_shared<Node>();
    node->format = format;
    node->location = std::move(location);
    return node;
}

// ---- EXIF ----

std::shared_ptr<Node> ifdNode(const fmt::TiffTree& tree, const fmt::Ifd& ifd, const GUID& format,
                              const std::u16string& location)
{
    auto node = makeNode(format, location);
    for (const fmt::IfdEntry& e : ifd.entries) {
        const fmt::Ifd* sub = nullptr;
        const char16_t* name = nullptr;
        const GUID* subFormat = nullptr;
        if (ifd.kind == fmt::IfdKind::Ifd0 && e.tag == fmt::kTagExifIfd && tree.exif) {
            sub = &*tree.exif, name = u"exif", subFormat = &GUID_MetadataFormatExif;
        } else if (ifd.kind == fmt::IfdKind::Ifd0 && e.tag == fmt::kTagGpsIfd && tree.gps) {
            sub = &*tree.gps, name = u"gps", subFormat = &GUID_MetadataFormatGps;
        } else if (ifd.kind == fmt::IfdKind::Exif && e.tag == fmt::kTagInteropIfd && tree.interop) {
            sub = &*tree.interop, name = u"interop", subFormat = &GUID_MetadataFormatInterop;
        }
        if (sub) {
            const std::u16string childLoc = location + u"/" + name;
            node->items.push_back(block(name, e.tag, ifdNode(tree, *sub, *subFormat, childLoc)));
            continue;
        }
        if (e.tag == fmt::kTagExifIfd || e.tag == fmt::kTagGpsIfd ||
            (e.tag == fmt::kTagInteropIfd && ifd.kind == fmt::IfdKind::Exif))
            continue; // a pointer whose directory could not be read
        try {
            node->items.push_back(leaf(dataName(u"ushort", e.tag), e.tag, {}, tagValue(e.value)));
        } catch (const std::invalid_argument&) {
            // an empty numeric field has no value to give
        }
    }
    return node;
}

// ---- IPTC and Photoshop resources ----

std::shared_ptr<Node> iptcNode(std::span<const uint8_t> data, const std::u16string& location)
{
    auto node = makeNode(GUID_MetadataFormatIPTC, location);
    auto parsed = fmt::parseIptc(data);
    if (!parsed) return node;
    for (const fmt::IptcItem& it : fmt::groupIptc(*parsed)) {
        std::shared_ptr<PROPVARIANT> value;
        if (fmt::iptcDatasetIsBinary(it.record, it.dataset)) {
            const std::string& raw = it.values.front();
            if (raw.size() == 2) {
                value = makeValue();
                value->vt = VT_UI2;
                value->uiVal = static_cast<USHORT>(static_cast<uint8_t>(raw[0]) << 8 |
                                                   static_cast<uint8_t>(raw[1]));
            } else {
                value = blobValue({reinterpret_cast<const uint8_t*>(raw.data()), raw.size()});
            }
        } else if (it.values.size() == 1) {
            value = narrowValue(fmt::iptcTextToUtf8(it.values.front(), parsed->utf8));
        } else {
            value = makeValue();
            auto* elems = allocArray<LPSTR>(it.values.size());
            if (!elems) throw std::bad_alloc();
            value->calpstr.pElems = elems;
            value->vt = VT_LPSTR | VT_VECTOR;
            for (const std::string& raw : it.values) {
                LPSTR s = dupNarrow(fmt::iptcTextToUtf8(raw, parsed->utf8));
                if (!s) throw std::bad_alloc();
                elems[value->calpstr.cElems++] = s;
            }
        }
        const uint64_t key = uint64_t{it.record} << 8 | it.dataset;
        if (it.name.empty()) {
            node->items.push_back(leaf(dataName(u"ushort", key), key, {}, std::move(value)));
        } else {
            const std::u16string name = toU16(it.name);
            node->items.push_back(leaf(u"/{str=" + name + u"}", key, name, std::move(value)));
        }
    }
    return node;
}

std::shared_ptr<Node> app13Node(std::span<const uint8_t> psBlock)
{
    auto app13 = makeNode(GUID_MetadataFormatApp13, u"/app13");
    auto irb = makeNode(GUID_MetadataFormatIRB, u"/app13/irb");
    app13->items.push_back(block(u"irb", 0, irb));
    auto resources = fmt::parseImageResources(psBlock);
    if (!resources) return app13;
    for (const fmt::ImageResource& r : *resources) {
        const uint64_t key = uint64_t{r.signature} << 16 | r.id;
        if (key == kKey8bimIptc) {
            auto holder = makeNode(GUID_MetadataFormat8BIMIPTC, u"/app13/irb/8bimiptc");
            holder->items.push_back(
                block(u"iptc", 0, iptcNode(r.data, u"/app13/irb/8bimiptc/iptc")));
            irb->items.push_back(block(u"8bimiptc", key, holder));
        } else {
            Item item = leaf(dataName(u"ulonglong", key), key,
                             key == kKey8bimResInfo ? u"8bimResInfo" : u"", blobValue(r.data));
            irb->items.push_back(std::move(item));
        }
    }
    return app13;
}

// ---- XMP ----

GUID formatOf(fmt::XmpKind kind)
{
    switch (kind) {
    case fmt::XmpKind::Bag:
        return GUID_MetadataFormatXMPBag;
    case fmt::XmpKind::Seq:
        return GUID_MetadataFormatXMPSeq;
    case fmt::XmpKind::Alt:
    case fmt::XmpKind::AltText:
        return GUID_MetadataFormatXMPAlt;
    default:
        return GUID_MetadataFormatXMP;
    }
}

HRESULT fillXmpNode(Node& root, const std::vector<fmt::XmpProperty>& props)
{
    std::map<std::string, Node*> byPath;
    for (const fmt::XmpProperty& p : props) {
        Node* parent = &root;
        Item item;
        if (!p.path.empty() && p.path.back() == ']') {
            const size_t open = p.path.rfind('[');
            if (open == std::string::npos) continue;
            auto it = byPath.find(p.path.substr(0, open));
            if (it == byPath.end()) continue;
            parent = it->second;
            uint64_t n = 0;
            for (size_t i = open + 1; i + 1 < p.path.size(); ++i) {
                if (p.path[i] < '0' || p.path[i] > '9' || n > 1000000) break;
                n = n * 10 + static_cast<uint64_t>(p.path[i] - '0');
            }
            item.id = n ? n - 1 : 0;
            if (!p.lang.empty()) {
                item.friendly = toU16(p.lang);
                item.enumName = u"/" + item.friendly;
            } else {
                item.enumName = dataName(u"ulong", *item.id);
            }
        } else {
            const size_t slash = p.path.rfind('/');
            std::string step = p.path;
            if (slash != std::string::npos) {
                auto it = byPath.find(p.path.substr(0, slash));
                if (it == byPath.end()) continue;
                parent = it->second;
                step = p.path.substr(slash + 1);
            }
            const size_t colon = step.find(':');
            item.xmpNs = p.ns;
            item.xmpLocal = colon == std::string::npos ? step : step.substr(colon + 1);
            item.xmpLocal16 = toU16(item.xmpLocal);
            item.friendly = toU16(step);
            item.enumName = u"/" + item.friendly;
        }
        if (p.kind == fmt::XmpKind::Simple) {
            item.value = wideValue(toU16(p.value));
        } else {
            item.child = makeNode(formatOf(p.kind), parent->location + item.enumName);
            byPath[p.path] = item.child.get();
        }
        parent->items.push_back(std::move(item));
    }
    return S_OK;
}

// ---- the file model ----

struct JpegModel {
    ComPtr<IStream> stream;
    fmt::JpegLayout layout;
    std::shared_ptr<Node> root;
    int xmpSegment = -1, exifSegment = -1;
    std::vector<size_t> app13Segments;
    std::vector<uint8_t> xmpBytes;
    std::optional<fmt::XmpPacket> xmp;  // parsed on first need
    std::optional<uint32_t> xmpPadding; // asked for on a frame being encoded
    bool xmpDirty = false, exifRemoved = false, iptcRemoved = false;
    std::recursive_mutex lock;

    // The properties of the extended packet last read, and the GUID it was read for.
    std::vector<fmt::XmpProperty> extended;
    std::string extendedGuid;

    HRESULT ensureXmp()
    {
        if (xmp) return S_OK;
        auto parsed = xmpSegment >= 0
                          ? fmt::XmpPacket::parse(
                                {reinterpret_cast<const char*>(xmpBytes.data()), xmpBytes.size()})
                          : fmt::XmpPacket::createEmpty();
        if (!parsed) return WINCODEC_ERR_BADMETADATAHEADER;
        xmp.emplace(std::move(*parsed));
        return S_OK;
    }
};

size_t readStreamAt(IStream* stream, uint64_t offset, std::span<uint8_t> out)
{
    if (FAILED(seekTo(stream, offset))) return 0;
    size_t total = 0;
    while (total < out.size()) {
        ULONG got = 0;
        const ULONG want = static_cast<ULONG>(std::min<size_t>(out.size() - total, 1u << 30));
        if (FAILED(stream->Read(out.data() + total, want, &got)) || got == 0) break;
        total += got;
    }
    return total;
}

// Bytes of a stream for the parsers. The marker walk asks for a few bytes per segment, so small
// reads are served from a window read ahead (the metadata sits at the head of the file); a
// source lives for one parse or one commit, and commits write around it, never through it.
fmt::ByteSource streamSource(IStream* stream)
{
    constexpr size_t kWindow = 64 * 1024;
    struct Window {
        uint64_t start = 0;
        std::vector<uint8_t> bytes;
    };
    auto window = std::make_shared<Window>();
    return fmt::ByteSource([stream, window](uint64_t offset, std::span<uint8_t> out) -> size_t {
        Window& w = *window;
        const bool inside = offset >= w.start && offset - w.start < w.bytes.size();
        if (!inside && out.size() < kWindow / 4) {
            w.bytes.resize(kWindow);
            w.start = offset;
            w.bytes.resize(readStreamAt(stream, offset, w.bytes));
        }
        if (offset >= w.start && offset - w.start < w.bytes.size()) {
            const size_t at = static_cast<size_t>(offset - w.start);
            const size_t n = std::min(out.size(), w.bytes.size() - at);
            std::memcpy(out.data(), w.bytes.data() + at, n);
            if (n == out.size()) return n;
            return n + readStreamAt(stream, offset + n, out.subspan(n));
        }
        return readStreamAt(stream, offset, out);
    });
}

constexpr std::string_view kNsXmpNote = "http://ns.adobe.com/xmp/note/";

// The properties of the main packet: read without the toolkit while nothing was edited; the
// toolkit's model once a writer parsed it, or when our reader refuses the packet.
HRESULT mainXmpListing(JpegModel& m, std::vector<fmt::XmpProperty>& out)
{
    if (!m.xmp && m.xmpSegment >= 0) {
        auto fast = fmt::readXmpProperties(
            {reinterpret_cast<const char*>(m.xmpBytes.data()), m.xmpBytes.size()});
        if (fast) {
            out = std::move(*fast);
            return S_OK;
        }
        if (fast.error() == fmt::Error::OutOfMemory) return E_OUTOFMEMORY;
    }
    RETURN_IF_FAILED(m.ensureXmp());
    auto props = m.xmp->properties();
    if (!props) return WINCODEC_ERR_BADMETADATAHEADER;
    out = std::move(*props);
    return S_OK;
}

// The GUID of the extended packet the main one announces (xmpNote:HasExtendedXMP), or empty.
std::string extendedGuid(const std::vector<fmt::XmpProperty>& main)
{
    for (const fmt::XmpProperty& p : main)
        if (p.depth == 0 && p.ns == kNsXmpNote && p.kind == fmt::XmpKind::Simple &&
            p.path.ends_with(":HasExtendedXMP"))
            return p.value.size() == 32 ? p.value : std::string();
    return {};
}

// The extended packet with that GUID, when its chunks are all there. Anything wrong with it
// leaves the main packet as the whole of the XMP.
std::vector<fmt::XmpProperty> readExtendedXmp(JpegModel& m, const std::string& guid)
{
    auto packet = fmt::assembleExtendedXmp(streamSource(m.stream.Get()), m.layout, guid);
    if (!packet) return {};
    auto props = fmt::readXmpProperties(*packet);
    if (props) return std::move(*props);
    auto parsed = fmt::XmpPacket::parse(*packet);
    if (!parsed) return {};
    auto listed = parsed->properties();
    return listed ? std::move(*listed) : std::vector<fmt::XmpProperty>{};
}

// What readers see: the main packet with the extended one merged in, as long as the main one
// (after any edit) still announces it.
HRESULT xmpListing(JpegModel& m, std::vector<fmt::XmpProperty>& out)
{
    RETURN_IF_FAILED(mainXmpListing(m, out));
    const std::string guid = extendedGuid(out);
    if (guid.empty()) return S_OK;
    if (m.extendedGuid != guid) {
        m.extended = readExtendedXmp(m, guid);
        m.extendedGuid = guid;
    }
    fmt::mergeXmpProperties(out, m.extended);
    return S_OK;
}

void setXmpLoader(const std::shared_ptr<JpegModel>& model, Node& xmpNode)
{
    std::weak_ptr<JpegModel> weak = model;
    xmpNode.items.clear();
    xmpNode.loadResult = S_OK;
    xmpNode.loader = [weak](Node& node) -> HRESULT {
        auto m = weak.lock();
        if (!m) return E_UNEXPECTED;
        std::vector<fmt::XmpProperty> props;
        RETURN_IF_FAILED(xmpListing(*m, props));
        return fillXmpNode(node, props);
    };
}

HRESULT buildModel(IStream* stream, std::shared_ptr<JpegModel>& out)
{
    auto model = std::make_shared<JpegModel>();
    model->stream = ComPtr<IStream>(stream);
    const fmt::ByteSource source = streamSource(stream);
    auto layout = fmt::walkJpeg(source);
    if (!layout) return WINCODEC_ERR_BADHEADER;
    model->layout = std::move(*layout);
    model->root = makeNode(GUID_ContainerFormatJpeg, u"");
    Node& root = *model->root;
    bool app13Done = false;
    for (size_t i = 0; i < model->layout.segments.size(); ++i) {
        const fmt::Segment& seg = model->layout.segments[i];
        switch (seg.kind) {
        case fmt::SegmentKind::Jfif: {
            auto content = fmt::readContent(source, seg);
            if (!content) break;
            auto jfif = fmt::parseJfif(*content);
            if (!jfif) break;
            auto node = makeNode(GUID_MetadataFormatApp0, u"/app0");
            auto num = [&](uint64_t id, VARTYPE vt, unsigned v) {
                auto pv = makeValue();
                pv->vt = vt;
                if (vt == VT_UI1)
                    pv->bVal = static_cast<UCHAR>(v);
                else
                    pv->uiVal = static_cast<USHORT>(v);
                node->items.push_back(leaf(dataName(u"ushort", id), id, {}, pv));
            };
            num(0, VT_UI2, jfif->version);
            num(1, VT_UI1, jfif->units);
            num(2, VT_UI2, jfif->xDensity);
            num(3, VT_UI2, jfif->yDensity);
            num(4, VT_UI1, jfif->thumbWidth);
            num(5, VT_UI1, jfif->thumbHeight);
            if (!jfif->thumbnail.empty())
                node->items.push_back(
                    leaf(dataName(u"ushort", 6), 6, {}, blobValue(jfif->thumbnail)));
            root.items.push_back(block(u"app0", std::nullopt, node));
            break;
        }
        case fmt::SegmentKind::Exif: {
            auto content = fmt::readContent(source, seg);
            if (!content) break;
            auto tree = fmt::parseTiff(*content);
            if (!tree) break;
            if (model->exifSegment < 0) model->exifSegment = static_cast<int>(i);
            auto app1 = makeNode(GUID_MetadataFormatApp1, u"/app1");
            app1->items.push_back(
                block(u"ifd", 0, ifdNode(*tree, tree->ifd0, GUID_MetadataFormatIfd, u"/app1/ifd")));
            if (tree->ifd1)
                app1->items.push_back(block(
                    u"thumb", 1,
                    ifdNode(*tree, *tree->ifd1, GUID_MetadataFormatThumbnail, u"/app1/thumb")));
            root.items.push_back(block(u"app1", std::nullopt, app1));
            break;
        }
        case fmt::SegmentKind::Xmp: {
            if (model->xmpSegment >= 0) break; // the first main packet is the one
            auto content = fmt::readContent(source, seg);
            if (!content) break;
            model->xmpSegment = static_cast<int>(i);
            model->xmpBytes = std::move(*content);
            auto node = makeNode(GUID_MetadataFormatXMP, u"/xmp");
            setXmpLoader(model, *node);
            root.items.push_back(block(u"xmp", std::nullopt, node));
            break;
        }
        case fmt::SegmentKind::Photoshop: {
            model->app13Segments.push_back(i);
            if (app13Done) break;
            app13Done = true;
            auto ps = fmt::assemblePhotoshop(source, model->layout);
            if (!ps) break;
            root.items.push_back(block(u"app13", std::nullopt, app13Node(*ps)));
            break;
        }
        case fmt::SegmentKind::Comment: {
            auto payload = fmt::readPayload(source, seg);
            if (!payload) break;
            auto node = makeNode(GUID_MetadataFormatUnknown, u"/com");
            std::string text(payload->begin(), payload->end());
            if (const size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
            node->items.push_back(
                leaf(u"/TextEntry", std::nullopt, u"TextEntry", narrowValue(text)));
            root.items.push_back(block(u"com", std::nullopt, node));
            break;
        }
        default:
            break;
        }
    }
    out = std::move(model);
    return S_OK;
}

// ---- reader and writer objects ----

HRESULT resolve(const std::shared_ptr<Node>& start, const std::vector<QueryStep>& steps,
                std::shared_ptr<Node>& node, Item*& item)
{
    node = start;
    item = nullptr;
    for (size_t i = 0; i < steps.size(); ++i) {
        RETURN_IF_FAILED(node->ensureLoaded());
        item = findItem(*node, steps[i]);
        if (!item) return WINCODEC_ERR_PROPERTYNOTFOUND;
        if (i + 1 < steps.size()) {
            if (!item->child) return WINCODEC_ERR_PROPERTYNOTFOUND;
            node = item->child;
        }
    }
    return S_OK;
}

HRESULT makeReader(std::shared_ptr<JpegModel> model, std::shared_ptr<Node> node,
                   IWICMetadataQueryReader** pp);

template <typename Derived, typename Interface>
class ReaderBase : public ComObject<Derived, Interface> {
  public:
    ReaderBase(std::shared_ptr<JpegModel> model, std::shared_ptr<Node> node)
        : m_model(std::move(model)), m_node(std::move(node))
    {
    }

    STDMETHODIMP GetContainerFormat(GUID* pguid) override
    {
        if (!pguid) return E_INVALIDARG;
        *pguid = m_node->format;
        return S_OK;
    }
    STDMETHODIMP GetLocation(UINT cchMax, WCHAR* wz, UINT* pcch) override
    {
        if (!pcch) return E_INVALIDARG;
        const std::u16string loc = m_node->location.empty() ? u"/" : m_node->location;
        *pcch = static_cast<UINT>(loc.size() + 1);
        if (!wz) return S_OK;
        if (cchMax < loc.size() + 1) return WINCODEC_ERR_INSUFFICIENTBUFFER;
        std::memcpy(wz, loc.c_str(), (loc.size() + 1) * sizeof(WCHAR));
        return S_OK;
    }
    STDMETHODIMP GetMetadataByName(LPCWSTR wzName, PROPVARIANT* pv) override
    {
        if (!wzName) return E_INVALIDARG;
        if (pv) PropVariantInit(pv);
        auto guard = lock();
        try {
            std::vector<QueryStep> steps;
            RETURN_IF_FAILED(parseQuery(wzName, steps));
            if (steps.empty()) return WINCODEC_ERR_INVALIDQUERYREQUEST;
            std::shared_ptr<Node> node;
            Item* item = nullptr;
            RETURN_IF_FAILED(resolve(m_node, steps, node, item));
            if (!pv) return S_OK;
            if (item->child) {
                IWICMetadataQueryReader* reader = nullptr;
                RETURN_IF_FAILED(static_cast<Derived*>(this)->nested(item->child, &reader));
                pv->vt = VT_UNKNOWN;
                pv->punkVal = reader;
                return S_OK;
            }
            return PropVariantCopy(pv, item->value.get());
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
    STDMETHODIMP GetEnumerator(IEnumString** ppEnum) override
    {
        if (!ppEnum) return E_INVALIDARG;
        *ppEnum = nullptr;
        auto guard = lock();
        RETURN_IF_FAILED(m_node->ensureLoaded());
        try {
            std::vector<LPCOLESTR> names;
            names.reserve(m_node->items.size());
            for (const Item& item : m_node->items)
                names.push_back(item.enumName.c_str());
            return TavrelCreateEnumString(names.data(), static_cast<ULONG>(names.size()), ppEnum);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT nested(std::shared_ptr<Node> child, IWICMetadataQueryReader** pp)
    {
        return makeReader(m_model, std::move(child), pp);
    }

  protected:
    std::unique_lock<std::recursive_mutex> lock()
    {
        return m_model ? std::unique_lock<std::recursive_mutex>(m_model->lock)
                       : std::unique_lock<std::recursive_mutex>();
    }

    std::shared_ptr<JpegModel> m_model; // null for free-standing writers
    std::shared_ptr<Node> m_node;
};

class QueryReader final : public ReaderBase<QueryReader, IWICMetadataQueryReader> {
  public:
    using ReaderBase::ReaderBase;
};

HRESULT makeReader(std::shared_ptr<JpegModel> model, std::shared_ptr<Node> node,
                   IWICMetadataQueryReader** pp)
{
    return handOut<IWICMetadataQueryReader>(QueryReader::make(std::move(model), std::move(node)),
                                            pp);
}

// Text of a written value: XMP stores every value as text.
HRESULT valueText(const PROPVARIANT& v, std::string& out)
{
    switch (v.vt) {
    case VT_LPWSTR:
        if (!v.pwszVal) return E_INVALIDARG;
        out = toUtf8(v.pwszVal);
        return S_OK;
    case VT_LPSTR:
        if (!v.pszVal) return E_INVALIDARG;
        out = v.pszVal;
        return S_OK;
    case VT_BSTR:
        if (!v.bstrVal) return E_INVALIDARG;
        out = toUtf8(v.bstrVal);
        return S_OK;
    case VT_UI1:
        out = std::to_string(v.bVal);
        return S_OK;
    case VT_UI2:
        out = std::to_string(v.uiVal);
        return S_OK;
    case VT_UI4:
    case VT_UINT:
        out = std::to_string(v.ulVal);
        return S_OK;
    case VT_I2:
        out = std::to_string(v.iVal);
        return S_OK;
    case VT_I4:
    case VT_INT:
        out = std::to_string(v.lVal);
        return S_OK;
    default:
        return WINCODEC_ERR_PROPERTYUNEXPECTEDTYPE;
    }
}

// A free-standing XMP bag, seq or alternative, filled through SetMetadataByName before it is
// set into a frame writer.
class ContainerWriter final : public ReaderBase<ContainerWriter, IWICMetadataQueryWriter> {
  public:
    using ReaderBase::ReaderBase;

    STDMETHODIMP SetMetadataByName(LPCWSTR wzName, const PROPVARIANT* pv) override
    {
        if (!wzName || !pv) return E_INVALIDARG;
        try {
            std::vector<QueryStep> steps;
            RETURN_IF_FAILED(parseQuery(wzName, steps));
            std::string text;
            RETURN_IF_FAILED(valueText(*pv, text));
            const bool alt = m_node->format == GUID_MetadataFormatXMPAlt;
            auto& items = m_node->items;
            // "/" appends; "/{ulong=n}" replaces item n or appends when n is the count;
            // a language name sets that entry of an alternative.
            if (steps.size() > 1) return WINCODEC_ERR_INVALIDQUERYREQUEST;
            Item* target = nullptr;
            std::u16string lang = alt ? u"x-default" : u"";
            if (steps.size() == 1) {
                const QueryStep& s = steps[0];
                if (s.isData && s.numeric) {
                    if (s.number > items.size()) return WINCODEC_ERR_INVALIDQUERYREQUEST;
                    if (s.number < items.size()) target = &items[s.number];
                } else if (alt && !s.isData) {
                    lang = s.text;
                    target = findItem(*m_node, s);
                } else {
                    return WINCODEC_ERR_INVALIDQUERYREQUEST;
                }
            }
            if (!target) {
                Item item;
                item.id = items.size();
                if (alt) {
                    item.friendly = lang;
                    item.enumName = u"/" + lang;
                } else {
                    item.enumName = dataName(u"ulong", *item.id);
                }
                items.push_back(std::move(item));
                target = &items.back();
            }
            target->value = wideValue(toU16(text));
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
    STDMETHODIMP RemoveMetadataByName(LPCWSTR wzName) override
    {
        if (!wzName) return E_INVALIDARG;
        std::vector<QueryStep> steps;
        RETURN_IF_FAILED(parseQuery(wzName, steps));
        if (steps.size() != 1) return WINCODEC_ERR_INVALIDQUERYREQUEST;
        auto& items = m_node->items;
        for (size_t i = 0; i < items.size(); ++i) {
            if (!itemMatches(items[i], steps[0])) continue;
            items.erase(items.begin() + static_cast<std::ptrdiff_t>(i));
            for (size_t k = 0; k < items.size(); ++k) { // keep {ulong=n} dense
                items[k].id = k;
                if (items[k].friendly.empty()) items[k].enumName = dataName(u"ulong", k);
            }
            return S_OK;
        }
        return WINCODEC_ERR_PROPERTYNOTFOUND;
    }
};

// The XMP property a step names: namespace and toolkit path ("dc:subject").
HRESULT xmpTarget(JpegModel& m, const QueryStep& step, std::string& ns, std::string& path)
{
    if (step.isData) return WINCODEC_ERR_INVALIDQUERYREQUEST;
    std::string local;
    if (!step.schemaUri.empty()) {
        ns = toUtf8(step.schemaUri);
        local = toUtf8(step.text);
    } else {
        const std::string name = toUtf8(step.text);
        const size_t colon = name.find(':');
        if (colon == std::string::npos) {
            // No schema: the first property of that local name in any namespace.
            auto props = m.xmp->properties();
            if (!props) return WINCODEC_ERR_BADMETADATAHEADER;
            for (const auto& p : *props) {
                if (p.depth != 0) continue;
                const size_t c = p.path.find(':');
                if (equalsNoCase(toU16(p.path.substr(c + 1)), step.text)) {
                    ns = p.ns;
                    path = p.path;
                    return S_OK;
                }
            }
            return WINCODEC_ERR_PROPERTYNOTFOUND;
        }
        auto uri = namespaceForPrefix(name.substr(0, colon));
        if (!uri) return WINCODEC_ERR_PROPERTYNOTSUPPORTED;
        ns = *uri;
        local = name.substr(colon + 1);
    }
    auto prefix = fmt::xmpPrefixForNamespace(ns);
    if (!prefix) return WINCODEC_ERR_PROPERTYNOTSUPPORTED;
    std::string p = *prefix;
    if (!p.empty() && p.back() == ':') p.pop_back();
    path = p + ":" + local;
    return S_OK;
}

std::optional<fmt::XmpKind> kindOfProperty(JpegModel& m, const std::string& ns,
                                           const std::string& path)
{
    return m.xmp->propertyKind(ns, path);
}

HRESULT xmpError(fmt::Error e)
{
    switch (e) {
    case fmt::Error::None:
        return S_OK;
    case fmt::Error::NotFound:
        return WINCODEC_ERR_PROPERTYNOTFOUND;
    case fmt::Error::OutOfMemory:
        return E_OUTOFMEMORY;
    default:
        return WINCODEC_ERR_UNEXPECTEDMETADATATYPE;
    }
}

bool stepIs(const QueryStep& s, std::u16string_view name, std::optional<uint64_t> id = {})
{
    if (s.isData) return s.numeric && id && s.number == *id;
    return s.schemaUri.empty() && equalsNoCase(s.text, name);
}

// The frame-level writer of the fast metadata encoder.
class FrameWriter final : public ReaderBase<FrameWriter, IWICMetadataQueryWriter> {
  public:
    using ReaderBase::ReaderBase;

    STDMETHODIMP SetMetadataByName(LPCWSTR wzName, const PROPVARIANT* pv) override
    {
        if (!wzName || !pv) return E_INVALIDARG;
        auto guard = lock();
        try {
            std::vector<QueryStep> steps;
            RETURN_IF_FAILED(parseQuery(wzName, steps));
            if (steps.empty()) return WINCODEC_ERR_UNSUPPORTEDOPERATION;
            // Padding only matters when a file is written anew; in place the room is fixed.
            if (equalsNoCase(steps.back().text, u"PaddingSchema:Padding") && !steps.back().isData) {
                if (pv->vt != VT_UI4) return WINCODEC_ERR_PROPERTYUNEXPECTEDTYPE;
                if (steps.size() == 2 && stepIs(steps[0], u"xmp")) m_model->xmpPadding = pv->ulVal;
                return S_OK;
            }
            if (!stepIs(steps[0], u"xmp") || steps.size() < 2 || steps.size() > 3)
                return WINCODEC_ERR_UNSUPPORTEDOPERATION;
            RETURN_IF_FAILED(m_model->ensureXmp());
            fmt::XmpPacket& x = *m_model->xmp;
            std::string ns, path;
            RETURN_IF_FAILED(xmpTarget(*m_model, steps[1], ns, path));
            const std::u16string& container = steps[1].blockName;
            const auto existing = kindOfProperty(*m_model, ns, path);
            fmt::Error err = fmt::Error::None;
            if (steps.size() == 3) {
                const QueryStep& s = steps[2];
                std::string text;
                RETURN_IF_FAILED(valueText(*pv, text));
                if (s.isData && s.numeric) {
                    auto items = x.arrayItems(ns, path);
                    const size_t count = items ? items->size() : 0;
                    if (s.number > count) return WINCODEC_ERR_INVALIDQUERYREQUEST;
                    if (s.number < count) {
                        err = x.set(ns, path + "[" + std::to_string(s.number + 1) + "]", text);
                    } else {
                        const fmt::XmpKind kind = container == u"xmpseq"   ? fmt::XmpKind::Seq
                                                  : container == u"xmpalt" ? fmt::XmpKind::Alt
                                                  : existing               ? *existing
                                                                           : fmt::XmpKind::Bag;
                        err = x.appendArrayItem(ns, path, kind, text);
                    }
                } else if (!s.isData) {
                    if (existing && *existing != fmt::XmpKind::AltText) x.remove(ns, path);
                    err = x.setLocalizedText(ns, path, text, toUtf8(s.text));
                } else {
                    return WINCODEC_ERR_INVALIDQUERYREQUEST;
                }
            } else if (pv->vt == VT_UNKNOWN) {
                RETURN_IF_FAILED(setContainer(x, ns, path, pv->punkVal));
            } else {
                std::string text;
                RETURN_IF_FAILED(valueText(*pv, text));
                if (container == u"xmpbag" || container == u"xmpseq") {
                    const std::string one[] = {text};
                    err = x.setArray(ns, path,
                                     container == u"xmpbag" ? fmt::XmpKind::Bag : fmt::XmpKind::Seq,
                                     one);
                } else if (container == u"xmpalt" ||
                           (existing && *existing == fmt::XmpKind::AltText)) {
                    if (existing && *existing != fmt::XmpKind::AltText) x.remove(ns, path);
                    err = x.setLocalizedText(ns, path, text);
                } else {
                    if (existing && *existing != fmt::XmpKind::Simple) x.remove(ns, path);
                    err = x.set(ns, path, text);
                }
            }
            RETURN_IF_FAILED(xmpError(err));
            xmpChanged();
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

    STDMETHODIMP RemoveMetadataByName(LPCWSTR wzName) override
    {
        if (!wzName) return E_INVALIDARG;
        auto guard = lock();
        try {
            std::vector<QueryStep> steps;
            RETURN_IF_FAILED(parseQuery(wzName, steps));
            if (steps.empty()) return WINCODEC_ERR_UNSUPPORTEDOPERATION;
            JpegModel& m = *m_model;
            if (stepIs(steps[0], u"xmp")) {
                if (m.xmpSegment < 0) return WINCODEC_ERR_PROPERTYNOTFOUND;
                RETURN_IF_FAILED(m.ensureXmp());
                if (steps.size() == 1) {
                    auto empty = fmt::XmpPacket::createEmpty();
                    if (!empty) return xmpError(empty.error());
                    m.xmp.emplace(std::move(*empty));
                } else if (steps.size() == 2) {
                    std::string ns, path;
                    RETURN_IF_FAILED(xmpTarget(m, steps[1], ns, path));
                    RETURN_IF_FAILED(xmpError(m.xmp->remove(ns, path)));
                } else if (steps.size() == 3 && steps[2].isData && steps[2].numeric) {
                    std::string ns, path;
                    RETURN_IF_FAILED(xmpTarget(m, steps[1], ns, path));
                    RETURN_IF_FAILED(xmpError(
                        m.xmp->remove(ns, path + "[" + std::to_string(steps[2].number + 1) + "]")));
                } else {
                    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
                }
                xmpChanged();
                return S_OK;
            }
            if (stepIs(steps[0], u"app1") &&
                (steps.size() == 1 || (steps.size() == 2 && stepIs(steps[1], u"ifd", 0)))) {
                if (m.exifSegment < 0 || m.exifRemoved) return WINCODEC_ERR_PROPERTYNOTFOUND;
                m.exifRemoved = true;
                dropRootItem(u"app1");
                return S_OK;
            }
            if (stepIs(steps[0], u"app13")) {
                static const std::pair<std::u16string_view, uint64_t> kChain[] = {
                    {u"irb", 0}, {u"8bimiptc", kKey8bimIptc}, {u"iptc", 0}};
                if (steps.size() != 4) return WINCODEC_ERR_UNSUPPORTEDOPERATION;
                for (size_t i = 1; i < 4; ++i)
                    if (!stepIs(steps[i], kChain[i - 1].first, kChain[i - 1].second))
                        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
                std::shared_ptr<Node> node;
                Item* item = nullptr;
                RETURN_IF_FAILED(resolve(m.root, steps, node, item));
                m.iptcRemoved = true;
                node->items.clear(); // the 8bimiptc holder no longer has an IPTC block
                return S_OK;
            }
            return WINCODEC_ERR_UNSUPPORTEDOPERATION;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT nested(std::shared_ptr<Node> child, IWICMetadataQueryReader** pp)
    {
        return makeReader(m_model, std::move(child), pp);
    }

  private:
    HRESULT setContainer(fmt::XmpPacket& x, const std::string& ns, const std::string& path,
                         IUnknown* unk)
    {
        if (!unk) return E_INVALIDARG;
        ComPtr<IWICMetadataQueryReader> reader;
        RETURN_IF_FAILED(unk->QueryInterface(IID_IWICMetadataQueryReader,
                                             reinterpret_cast<void**>(reader.GetAddressOf())));
        GUID format{};
        RETURN_IF_FAILED(reader->GetContainerFormat(&format));
        fmt::XmpKind kind;
        if (format == GUID_MetadataFormatXMPBag)
            kind = fmt::XmpKind::Bag;
        else if (format == GUID_MetadataFormatXMPSeq)
            kind = fmt::XmpKind::Seq;
        else if (format == GUID_MetadataFormatXMPAlt)
            kind = fmt::XmpKind::AltText;
        else
            return WINCODEC_ERR_UNEXPECTEDMETADATATYPE;
        ComPtr<IEnumString> names;
        RETURN_IF_FAILED(reader->GetEnumerator(names.GetAddressOf()));
        std::vector<std::pair<std::string, std::string>> entries; // (name, text)
        for (;;) {
            LPOLESTR name = nullptr;
            ULONG got = 0;
            if (names->Next(1, &name, &got) != S_OK || got != 1) break;
            tavrel::PropVariant v;
            const HRESULT hr = reader->GetMetadataByName(name, &v);
            const std::u16string n = name;
            CoTaskMemFree(name);
            RETURN_IF_FAILED(hr);
            std::string text;
            RETURN_IF_FAILED(valueText(v, text));
            entries.emplace_back(toUtf8(std::u16string_view(n).substr(1)), std::move(text));
        }
        if (x.has(ns, path)) RETURN_IF_FAILED(xmpError(x.remove(ns, path)));
        if (kind == fmt::XmpKind::AltText) {
            for (const auto& [lang, text] : entries)
                RETURN_IF_FAILED(xmpError(x.setLocalizedText(
                    ns, path, text, lang.empty() || lang[0] == '{' ? "x-default" : lang)));
            return S_OK;
        }
        std::vector<std::string> items;
        for (auto& e : entries)
            items.push_back(std::move(e.second));
        return xmpError(x.setArray(ns, path, kind, items));
    }

    void xmpChanged()
    {
        m_model->xmpDirty = true;
        for (Item& item : m_model->root->items)
            if (item.child && equalsNoCase(item.friendly, u"xmp")) {
                // Readers handed out before keep their snapshot; later ones see the edit.
                auto fresh = makeNode(GUID_MetadataFormatXMP, u"/xmp");
                setXmpLoader(m_model, *fresh);
                item.child = fresh;
            }
    }
    void dropRootItem(std::u16string_view name)
    {
        auto& items = m_model->root->items;
        std::erase_if(items, [&](const Item& i) { return equalsNoCase(i.friendly, name); });
    }
};

// ---- in-place commit ----

std::vector<uint8_t> emptyTiff(std::span<const uint8_t> oldContent, size_t size)
{
    std::vector<uint8_t> t(size, 0);
    const bool big = oldContent.size() >= 2 && oldContent[0] == 'M';
    const uint8_t header[8] = {static_cast<uint8_t>(big ? 'M' : 'I'),
                               static_cast<uint8_t>(big ? 'M' : 'I'),
                               static_cast<uint8_t>(big ? 0 : 42),
                               static_cast<uint8_t>(big ? 42 : 0),
                               static_cast<uint8_t>(big ? 0 : 8),
                               0,
                               0,
                               static_cast<uint8_t>(big ? 8 : 0)};
    std::memcpy(t.data(), header, std::min<size_t>(8, size)); // then a zero entry count and link
    return t;
}

HRESULT commitInPlace(JpegModel& m)
{
    const fmt::ByteSource source = streamSource(m.stream.Get());
    std::vector<fmt::SegmentChange> changes;
    auto payloadWith = [](std::string_view signature, std::span<const uint8_t> content) {
        std::vector<uint8_t> p(signature.begin(), signature.end());
        p.insert(p.end(), content.begin(), content.end());
        return p;
    };
    if (m.xmpDirty) {
        if (m.xmpSegment < 0 || !m.xmp) return WINCODEC_ERR_TOOMUCHMETADATA;
        const fmt::Segment& seg = m.layout.segments[static_cast<size_t>(m.xmpSegment)];
        fmt::XmpSerializeOptions opts;
        opts.exactSize = seg.contentSize();
        auto packet = m.xmp->serialize(opts);
        if (!packet && packet.error() == fmt::Error::TooLarge) {
            // Another writer's packet may be tighter than ours: try the compact form.
            opts.compact = true;
            packet = m.xmp->serialize(opts);
        }
        if (!packet) {
            return packet.error() == fmt::Error::TooLarge ? WINCODEC_ERR_TOOMUCHMETADATA
                                                          : WINCODEC_ERR_UNEXPECTEDMETADATATYPE;
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(packet->data());
        changes.push_back({fmt::SegmentChange::Action::Replace, static_cast<size_t>(m.xmpSegment),
                           0, payloadWith(fmt::kXmpSignature, {bytes, packet->size()})});
    }
    if (m.exifRemoved && m.exifSegment >= 0) {
        const fmt::Segment& seg = m.layout.segments[static_cast<size_t>(m.exifSegment)];
        if (seg.contentSize() < 14) return WINCODEC_ERR_TOOMUCHMETADATA;
        auto old = fmt::readContent(source, seg);
        if (!old) return WINCODEC_ERR_STREAMREAD;
        changes.push_back({fmt::SegmentChange::Action::Replace, static_cast<size_t>(m.exifSegment),
                           0,
                           payloadWith(fmt::kExifSignature, emptyTiff(*old, seg.contentSize()))});
    }
    if (m.iptcRemoved && !m.app13Segments.empty()) {
        auto block = fmt::assemblePhotoshop(source, m.layout);
        if (!block) return WINCODEC_ERR_BADMETADATAHEADER;
        auto rebuilt = fmt::replaceResource(*block, fmt::kResourceIptc, nullptr);
        if (!rebuilt) return WINCODEC_ERR_BADMETADATAHEADER;
        // The smaller block goes into the same segments; zero padding ends the resource list.
        size_t pos = 0;
        for (size_t index : m.app13Segments) {
            const fmt::Segment& seg = m.layout.segments[index];
            std::vector<uint8_t> content(seg.contentSize(), 0);
            const size_t n = std::min(content.size(), rebuilt->size() - pos);
            std::memcpy(content.data(), rebuilt->data() + pos, n);
            pos += n;
            changes.push_back({fmt::SegmentChange::Action::Replace, index, 0,
                               payloadWith(fmt::kPhotoshopSignature, content)});
        }
    }
    if (changes.empty()) return S_OK;
    auto plan = fmt::planInPlace(m.layout, changes);
    if (!plan) return WINCODEC_ERR_TOOMUCHMETADATA;
    // Everything is prepared before the first byte is written, including the bytes each write
    // covers: a write or flush that fails part-way puts them back, so the file is never left
    // with a half-written segment.
    std::vector<fmt::InPlaceWrite> undo;
    undo.reserve(plan->size());
    for (const fmt::InPlaceWrite& w : *plan) {
        fmt::InPlaceWrite& old = undo.emplace_back();
        old.offset = w.offset;
        old.bytes.resize(w.bytes.size());
        if (!source.read(w.offset, old.bytes)) return WINCODEC_ERR_STREAMREAD;
    }
    const auto writeAll = [&](const std::vector<fmt::InPlaceWrite>& writes) -> HRESULT {
        for (const fmt::InPlaceWrite& w : writes) {
            RETURN_IF_FAILED(seekTo(m.stream.Get(), w.offset));
            ULONG put = 0;
            RETURN_IF_FAILED(
                m.stream->Write(w.bytes.data(), static_cast<ULONG>(w.bytes.size()), &put));
            if (put != w.bytes.size()) return WINCODEC_ERR_STREAMWRITE;
        }
        return m.stream->Commit(STGC_DEFAULT);
    };
    if (const HRESULT hr = writeAll(*plan); FAILED(hr)) {
        (void)writeAll(undo); // best effort; the first failure is what the caller learns
        return hr;
    }
    m.xmpDirty = m.exifRemoved = m.iptcRemoved = false;
    return S_OK;
}

class FastEncoder final : public ComObject<FastEncoder, IWICFastMetadataEncoder> {
  public:
    explicit FastEncoder(std::shared_ptr<JpegModel> model) : m_model(std::move(model)) {}

    STDMETHODIMP Commit() override
    {
        std::lock_guard<std::recursive_mutex> guard(m_model->lock);
        try {
            return commitInPlace(*m_model);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
    STDMETHODIMP GetMetadataQueryWriter(IWICMetadataQueryWriter** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        if (!m_writer) m_writer = FrameWriter::make(m_model, m_model->root);
        return handOut<IWICMetadataQueryWriter>(m_writer, pp);
    }

  private:
    std::shared_ptr<JpegModel> m_model;
    ComPtr<FrameWriter> m_writer; // one writer, so staged changes are shared by every caller
};

// ---- block reader of a decoded frame, block writer and file assembly of an encoded one ----

bool isMetadataMarker(uint8_t marker)
{
    return (marker >= 0xE0 && marker <= 0xEF) || marker == fmt::kMarkerCom;
}

class BlockReader final
    : public ComObject<BlockReader, IWICMetadataBlockReader, IMioMetadataSource> {
  public:
    explicit BlockReader(std::shared_ptr<JpegModel> model) : m_model(std::move(model)) {}

    STDMETHODIMP GetContainerFormat(GUID* pguid) override
    {
        if (!pguid) return E_INVALIDARG;
        *pguid = GUID_ContainerFormatJpeg;
        return S_OK;
    }
    STDMETHODIMP GetCount(UINT* pc) override
    {
        if (!pc) return E_INVALIDARG;
        UINT n = 0;
        for (const auto& seg : m_model->layout.segments)
            n += isMetadataMarker(seg.marker) ? 1u : 0u;
        *pc = n;
        return S_OK;
    }
    // Blocks are copied whole through InitializeFromBlockReader; per-block metadata reader
    // objects are not offered.
    STDMETHODIMP GetReaderByIndex(UINT, IWICMetadataReader** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    STDMETHODIMP GetEnumerator(IEnumUnknown** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    STDMETHODIMP GetMetadataStream(IStream** ppStream, GUID* pContainer) override
    {
        if (!ppStream || !pContainer) return E_INVALIDARG;
        *pContainer = GUID_ContainerFormatJpeg;
        return handOut<IStream>(m_model->stream, ppStream);
    }

  private:
    std::shared_ptr<JpegModel> m_model;
};

struct RawSegment {
    uint8_t marker;
    std::vector<uint8_t> payload;
};

HRESULT writeAll(IStream* out, const void* data, size_t size)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ULONG chunk = static_cast<ULONG>(std::min<size_t>(size, 1u << 30));
        ULONG put = 0;
        RETURN_IF_FAILED(out->Write(p, chunk, &put));
        if (put == 0) return WINCODEC_ERR_STREAMWRITE;
        p += put;
        size -= put;
    }
    return S_OK;
}

HRESULT writeSegment(IStream* out, uint8_t marker, std::span<const uint8_t> payload)
{
    if (payload.size() > fmt::kMaxSegmentPayload) return WINCODEC_ERR_TOOMUCHMETADATA;
    const size_t length = payload.size() + 2;
    const uint8_t head[4] = {0xFF, marker, static_cast<uint8_t>(length >> 8),
                             static_cast<uint8_t>(length & 0xFF)};
    RETURN_IF_FAILED(writeAll(out, head, 4));
    return writeAll(out, payload.data(), payload.size());
}

// Copies `count` bytes of `in` from `from` to the end of `out`.
HRESULT copyRange(IStream* in, uint64_t from, uint64_t count, IStream* out)
{
    std::vector<uint8_t> buffer(std::min<uint64_t>(count, 1u << 20));
    uint64_t done = 0;
    while (done < count) {
        const ULONG n = static_cast<ULONG>(std::min<uint64_t>(buffer.size(), count - done));
        RETURN_IF_FAILED(seekTo(in, from + done));
        RETURN_IF_FAILED(readExact(in, buffer.data(), n));
        RETURN_IF_FAILED(writeAll(out, buffer.data(), n));
        done += n;
    }
    return S_OK;
}

class FrameMetadataImpl;

class BlockWriter final : public ComObject<BlockWriter, IWICMetadataBlockWriter> {
  public:
    explicit BlockWriter(std::shared_ptr<FrameMetadataImpl> owner) : m_owner(std::move(owner)) {}

    STDMETHODIMP GetContainerFormat(GUID* pguid) override
    {
        if (!pguid) return E_INVALIDARG;
        *pguid = GUID_ContainerFormatJpeg;
        return S_OK;
    }
    STDMETHODIMP GetCount(UINT* pc) override;
    STDMETHODIMP GetReaderByIndex(UINT, IWICMetadataReader** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    STDMETHODIMP GetEnumerator(IEnumUnknown** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    STDMETHODIMP InitializeFromBlockReader(IWICMetadataBlockReader* reader) override;
    STDMETHODIMP GetWriterByIndex(UINT, IWICMetadataWriter** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    STDMETHODIMP AddWriter(IWICMetadataWriter*) override
    {
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    STDMETHODIMP SetWriterByIndex(UINT, IWICMetadataWriter*) override
    {
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    STDMETHODIMP RemoveWriterByIndex(UINT) override { return WINCODEC_ERR_UNSUPPORTEDOPERATION; }

  private:
    std::shared_ptr<FrameMetadataImpl> m_owner;
};

class FrameMetadataImpl final : public JpegFrameMetadata,
                                public std::enable_shared_from_this<FrameMetadataImpl> {
  public:
    HRESULT init() { return rebuildModel(); }

    HRESULT queryBlockWriter(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IWICMetadataBlockWriter && riid != IID_IWICMetadataBlockReader)
            return E_NOINTERFACE;
        auto writer = BlockWriter::make(shared_from_this());
        if (!writer) return E_OUTOFMEMORY;
        return writer->QueryInterface(riid, ppv);
    }
    HRESULT queryWriter(IWICMetadataQueryWriter** pp) override
    {
        if (!pp) return E_INVALIDARG;
        *pp = nullptr;
        if (!m_writer) m_writer = FrameWriter::make(m_model, m_model->root);
        return handOut<IWICMetadataQueryWriter>(m_writer, pp);
    }

    HRESULT copyBlocks(IWICMetadataBlockReader* reader)
    {
        if (!reader) return E_INVALIDARG;
        ComPtr<IMioMetadataSource> source;
        if (FAILED(reader->QueryInterface(IID_IMioMetadataSource,
                                          reinterpret_cast<void**>(source.GetAddressOf()))))
            return WINCODEC_ERR_UNSUPPORTEDOPERATION;
        ComPtr<IStream> stream;
        GUID container{};
        RETURN_IF_FAILED(source->GetMetadataStream(stream.GetAddressOf(), &container));
        if (container != GUID_ContainerFormatJpeg) return WINCODEC_ERR_UNSUPPORTEDOPERATION;
        const fmt::ByteSource bytes = streamSource(stream.Get());
        auto layout = fmt::walkJpeg(bytes);
        if (!layout) return WINCODEC_ERR_BADHEADER;
        std::vector<RawSegment> blocks;
        for (const fmt::Segment& seg : layout->segments) {
            if (!isMetadataMarker(seg.marker)) continue;
            auto payload = fmt::readPayload(bytes, seg);
            if (!payload) return WINCODEC_ERR_BADMETADATAHEADER;
            blocks.push_back({seg.marker, std::move(*payload)});
        }
        m_blocks = std::move(blocks);
        m_writer = nullptr; // writers handed out before keep the old blocks
        return rebuildModel();
    }
    UINT blockCount() const { return static_cast<UINT>(m_blocks.size()); }

    HRESULT tryCopyScan(IWICBitmapSource* source, const WICRect& rc, bool sameFormat, UINT width,
                        UINT height, IStream* out) override
    {
        if (!sameFormat || rc.X != 0 || rc.Y != 0) return S_FALSE;
        ComPtr<IMioMetadataSource> meta;
        if (FAILED(source->QueryInterface(IID_IMioMetadataSource,
                                          reinterpret_cast<void**>(meta.GetAddressOf()))))
            return S_FALSE;
        ComPtr<IStream> in;
        GUID container{};
        if (FAILED(meta->GetMetadataStream(in.GetAddressOf(), &container)) ||
            container != GUID_ContainerFormatJpeg)
            return S_FALSE;
        UINT sw = 0, sh = 0;
        RETURN_IF_FAILED(source->GetSize(&sw, &sh));
        if (sw != width || sh != height || static_cast<UINT>(rc.Width) != width ||
            static_cast<UINT>(rc.Height) != height)
            return S_FALSE;
        const fmt::ByteSource bytes = streamSource(in.Get());
        auto layout = fmt::walkJpeg(bytes);
        if (!layout || layout->end != fmt::WalkEnd::StartOfScan) return S_FALSE;
        // The frame must be the picture at its stored size, not a reduced decode.
        bool sizeMatches = false;
        for (const fmt::Segment& seg : layout->segments) {
            const uint8_t m = seg.marker;
            if (m < 0xC0 || m > 0xCF || m == 0xC4 || m == 0xC8 || m == 0xCC) continue;
            uint8_t sof[5];
            if (seg.payloadSize < 5 || !bytes.read(seg.payloadOffset, sof)) return S_FALSE;
            sizeMatches =
                (UINT{sof[1]} << 8 | sof[2]) == height && (UINT{sof[3]} << 8 | sof[4]) == width;
            break;
        }
        if (!sizeMatches) return S_FALSE;
        std::vector<RawSegment> head;
        RETURN_IF_FAILED(outputBlocks(head));
        uint64_t size = 0;
        RETURN_IF_FAILED(streamSize(in.Get(), &size));
        if (size < layout->stopOffset) return WINCODEC_ERR_BADSTREAMDATA;
        static const uint8_t kSoi[2] = {0xFF, fmt::kMarkerSoi};
        RETURN_IF_FAILED(writeAll(out, kSoi, 2));
        for (const RawSegment& b : head)
            RETURN_IF_FAILED(writeSegment(out, b.marker, b.payload));
        // Tables and frame header as they were, then the entropy-coded data byte for byte.
        for (const fmt::Segment& seg : layout->segments) {
            if (isMetadataMarker(seg.marker) || seg.kind == fmt::SegmentKind::StartOfScan) continue;
            RETURN_IF_FAILED(copyRange(in.Get(), seg.offset, seg.endOffset() - seg.offset, out));
        }
        return copyRange(in.Get(), layout->stopOffset, size - layout->stopOffset, out);
    }

    IStream* pixelStream() override
    {
        if (!m_pixels && FAILED(CreateStreamOnHGlobal(nullptr, TRUE, m_pixels.GetAddressOf())))
            return nullptr;
        return m_pixels.Get();
    }

    HRESULT finish(IStream* out) override
    {
        if (!m_pixels) return E_UNEXPECTED;
        uint64_t size = 0;
        RETURN_IF_FAILED(streamSize(m_pixels.Get(), &size));
        std::vector<uint8_t> encoded(static_cast<size_t>(size));
        RETURN_IF_FAILED(seekTo(m_pixels.Get(), 0));
        if (size)
            RETURN_IF_FAILED(readExact(m_pixels.Get(), encoded.data(), static_cast<ULONG>(size)));
        auto layout = fmt::walkJpeg(fmt::ByteSource(encoded));
        if (!layout || layout->end != fmt::WalkEnd::StartOfScan) return WINCODEC_ERR_INTERNALERROR;
        std::vector<RawSegment> head;
        RETURN_IF_FAILED(outputBlocks(head));
        const bool haveJfif = std::any_of(head.begin(), head.end(), [](const RawSegment& b) {
            return b.marker == fmt::kMarkerApp0 && b.payload.size() >= 5 &&
                   std::memcmp(b.payload.data(), "JFIF", 5) == 0;
        });
        static const uint8_t kSoi[2] = {0xFF, fmt::kMarkerSoi};
        RETURN_IF_FAILED(writeAll(out, kSoi, 2));
        for (const RawSegment& b : head)
            RETURN_IF_FAILED(writeSegment(out, b.marker, b.payload));
        for (const fmt::Segment& seg : layout->segments) {
            if (seg.kind == fmt::SegmentKind::StartOfScan) continue;
            if (seg.kind == fmt::SegmentKind::Jfif && haveJfif) continue;
            RETURN_IF_FAILED(
                writeAll(out, encoded.data() + seg.offset, seg.endOffset() - seg.offset));
        }
        return writeAll(out, encoded.data() + layout->stopOffset,
                        encoded.size() - layout->stopOffset);
    }

  private:
    // The model behind the frame's query writer: the copied blocks in a JPEG head of their own.
    HRESULT rebuildModel()
    {
        std::vector<uint8_t> head = {0xFF, fmt::kMarkerSoi};
        for (const RawSegment& b : m_blocks) {
            const size_t length = b.payload.size() + 2;
            head.insert(head.end(), {0xFF, b.marker, static_cast<uint8_t>(length >> 8),
                                     static_cast<uint8_t>(length & 0xFF)});
            head.insert(head.end(), b.payload.begin(), b.payload.end());
        }
        head.insert(head.end(), {0xFF, fmt::kMarkerSos, 0x00, 0x02, 0xFF, fmt::kMarkerEoi});
        auto stream = WicStream::make();
        if (!stream) return E_OUTOFMEMORY;
        RETURN_IF_FAILED(stream->initializeFromBytes(
            std::make_shared<const std::vector<BYTE>>(std::move(head))));
        return buildModel(stream.Get(), m_model);
    }

    // The blocks to write: the copied ones with the query writer's edits and padding applied.
    HRESULT outputBlocks(std::vector<RawSegment>& out)
    {
        JpegModel& m = *m_model;
        std::lock_guard<std::recursive_mutex> guard(m.lock);
        out.clear();
        std::optional<std::vector<uint8_t>> xmpPayload;
        if (m.xmpDirty || m.xmpPadding) {
            RETURN_IF_FAILED(m.ensureXmp());
            fmt::XmpSerializeOptions opts;
            opts.padding = m.xmpPadding.value_or(2048);
            auto packet = m.xmp->serialize(opts);
            if (!packet && packet.error() == fmt::Error::TooLarge) {
                opts.padding = 0;
                packet = m.xmp->serialize(opts);
            }
            if (!packet) return WINCODEC_ERR_UNEXPECTEDMETADATATYPE;
            std::vector<uint8_t> payload(fmt::kXmpSignature.begin(), fmt::kXmpSignature.end());
            payload.insert(payload.end(), packet->begin(), packet->end());
            if (payload.size() > fmt::kMaxSegmentPayload) {
                // Padding gives way first; a packet that alone is too big does not fit.
                const size_t over = payload.size() - fmt::kMaxSegmentPayload;
                if (over > opts.padding) return WINCODEC_ERR_TOOMUCHMETADATA;
                opts.padding -= static_cast<uint32_t>(over);
                packet = m.xmp->serialize(opts);
                if (!packet) return WINCODEC_ERR_TOOMUCHMETADATA;
                payload.assign(fmt::kXmpSignature.begin(), fmt::kXmpSignature.end());
                payload.insert(payload.end(), packet->begin(), packet->end());
            }
            xmpPayload = std::move(payload);
        }
        bool xmpPlaced = false;
        size_t insertAt = 0;
        for (size_t i = 0; i < m_blocks.size(); ++i) {
            const RawSegment& b = m_blocks[i];
            const fmt::Segment& seg = m.layout.segments[i];
            if (seg.kind == fmt::SegmentKind::Exif && m.exifRemoved) continue;
            if (seg.kind == fmt::SegmentKind::Photoshop && m.iptcRemoved) continue;
            if (static_cast<int>(i) == m.xmpSegment && xmpPayload) {
                out.push_back({fmt::kMarkerApp1, *xmpPayload});
                xmpPlaced = true;
                continue;
            }
            out.push_back(b);
            if (seg.kind == fmt::SegmentKind::Jfif || seg.kind == fmt::SegmentKind::Exif)
                insertAt = out.size();
        }
        if (xmpPayload && !xmpPlaced)
            out.insert(out.begin() + static_cast<std::ptrdiff_t>(insertAt),
                       RawSegment{fmt::kMarkerApp1, std::move(*xmpPayload)});
        return S_OK;
    }

    std::vector<RawSegment> m_blocks;
    std::shared_ptr<JpegModel> m_model;
    ComPtr<FrameWriter> m_writer;
    ComPtr<IStream> m_pixels;
};

STDMETHODIMP BlockWriter::GetCount(UINT* pc)
{
    if (!pc) return E_INVALIDARG;
    *pc = m_owner->blockCount();
    return S_OK;
}

STDMETHODIMP BlockWriter::InitializeFromBlockReader(IWICMetadataBlockReader* reader)
{
    try {
        return m_owner->copyBlocks(reader);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

} // namespace

HRESULT createJpegQueryReader(IStream* stream, IWICMetadataQueryReader** ppReader)
{
    if (!stream || !ppReader) return E_INVALIDARG;
    *ppReader = nullptr;
    try {
        std::shared_ptr<JpegModel> model;
        RETURN_IF_FAILED(buildModel(stream, model));
        return makeReader(model, model->root, ppReader);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT createJpegFastEncoder(IStream* stream, IWICFastMetadataEncoder** ppEncoder)
{
    if (!stream || !ppEncoder) return E_INVALIDARG;
    *ppEncoder = nullptr;
    try {
        std::shared_ptr<JpegModel> model;
        RETURN_IF_FAILED(buildModel(stream, model));
        if (model->layout.end != fmt::WalkEnd::StartOfScan) return WINCODEC_ERR_BADHEADER;
        return handOut<IWICFastMetadataEncoder>(FastEncoder::make(model), ppEncoder);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT createXmpContainerWriter(REFGUID format, IWICMetadataQueryWriter** ppWriter)
{
    if (!ppWriter) return E_INVALIDARG;
    *ppWriter = nullptr;
    if (format != GUID_MetadataFormatXMPBag && format != GUID_MetadataFormatXMPSeq &&
        format != GUID_MetadataFormatXMPAlt)
        return WINCODEC_ERR_COMPONENTNOTFOUND;
    try {
        auto node = makeNode(format, u"/");
        return handOut<IWICMetadataQueryWriter>(ContainerWriter::make(nullptr, node), ppWriter);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

} // namespace mio::imaging::metadata

namespace mio::imaging::metadata {

HRESULT createJpegBlockReader(IStream* stream, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!stream) return E_INVALIDARG;
    try {
        std::shared_ptr<JpegModel> model;
        RETURN_IF_FAILED(buildModel(stream, model));
        auto reader = BlockReader::make(model);
        if (!reader) return E_OUTOFMEMORY;
        return reader->QueryInterface(riid, ppv);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

std::shared_ptr<JpegFrameMetadata> makeJpegFrameMetadata()
{
    try {
        auto meta = std::make_shared<FrameMetadataImpl>();
        if (FAILED(meta->init())) return nullptr;
        return meta;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

} // namespace mio::imaging::metadata
