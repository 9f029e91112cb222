// SPDX-License-Identifier: MIT
// Time to read all EXIF, IPTC and XMP of one JPEG, per file, from memory and from disk heads.
#include "mio/formats/iptc.h"
#include "mio/formats/jpeg_segments.h"
#include "mio/formats/photoshop.h"
#include "mio/formats/tiff_ifd.h"
#include "mio/formats/xmp_packet.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace mio::formats;

namespace {

const char* const kFiles[] = {
    "jpeg/iptc-agency-photographer-example.jpg", // EXIF + GPS + IPTC + XMP, 100 KB
    "jpeg/BlueSquare_xmp.jpg",                   // EXIF + IPTC + XMP
    "jpeg/Reagan_xmp_keywords.jpg",              // EXIF + IPTC + XMP keywords
};

std::string corpusPath(const char* relative)
{
    return std::string(MIO_CORPUS_DIR) + "/" + relative;
}

std::vector<uint8_t> load(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Everything a metadata listing needs: every IFD entry, every IPTC dataset, every XMP node.
size_t readAllMetadata(const ByteSource& source)
{
    size_t items = 0;
    auto layout = walkJpeg(source);
    if (!layout) return 0;
    if (const Segment* app1 = findSegment(*layout, SegmentKind::Exif)) {
        if (auto tiff = readContent(source, *app1)) {
            if (auto tree = parseTiff(*tiff)) {
                items += tree->ifd0.entries.size();
                for (const auto* ifd : {&tree->exif, &tree->gps, &tree->interop, &tree->ifd1})
                    if (*ifd) items += (*ifd)->entries.size();
            }
        }
    }
    if (auto block = assemblePhotoshop(source, *layout)) {
        if (auto resources = parseImageResources(*block)) {
            if (const ImageResource* r = findResource(*resources, kResourceIptc)) {
                if (auto iptc = parseIptc(r->data)) {
                    for (const IptcItem& item : groupIptc(*iptc))
                        items += item.values.size();
                }
            }
        }
    }
    if (const Segment* xmpSeg = findSegment(*layout, SegmentKind::Xmp)) {
        if (auto packet = readContent(source, *xmpSeg)) {
            auto xmp = XmpPacket::parse(
                std::string_view(reinterpret_cast<const char*>(packet->data()), packet->size()));
            if (xmp) {
                if (auto props = xmp->properties()) items += props->size();
            }
        }
    }
    return items;
}

void BM_AllMetadataFromMemory(benchmark::State& state)
{
    const auto bytes = load(corpusPath(kFiles[state.range(0)]));
    if (bytes.empty()) {
        state.SkipWithError("corpus file missing");
        return;
    }
    const ByteSource source(bytes);
    size_t items = 0;
    for (auto _ : state) {
        items = readAllMetadata(source);
        benchmark::DoNotOptimize(items);
    }
    state.SetLabel(std::string(kFiles[state.range(0)]) + ", " + std::to_string(items) + " items");
}
BENCHMARK(BM_AllMetadataFromMemory)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// Opening the file and reading only the segments it needs through pread.
void BM_AllMetadataFromFile(benchmark::State& state)
{
    const std::string path = corpusPath(kFiles[state.range(0)]);
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            state.SkipWithError("corpus file missing");
            return;
        }
        const ByteSource source([fd](uint64_t offset, std::span<uint8_t> out) -> size_t {
            const ssize_t n = ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset));
            return n > 0 ? static_cast<size_t>(n) : 0;
        });
        benchmark::DoNotOptimize(readAllMetadata(source));
        ::close(fd);
    }
}
BENCHMARK(BM_AllMetadataFromFile)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// The parsers one by one, on the first file.
void BM_Parser(benchmark::State& state)
{
    const auto bytes = load(corpusPath(kFiles[0]));
    if (bytes.empty()) {
        state.SkipWithError("corpus file missing");
        return;
    }
    const ByteSource source(bytes);
    auto layout = *walkJpeg(source);
    const auto tiff = *readContent(source, *findSegment(layout, SegmentKind::Exif));
    const auto block = *assemblePhotoshop(source, layout);
    const auto resources = *parseImageResources(block);
    const ImageResource* iptc = findResource(resources, kResourceIptc);
    const auto packet = *readContent(source, *findSegment(layout, SegmentKind::Xmp));
    const std::string_view xmp(reinterpret_cast<const char*>(packet.data()), packet.size());
    for (auto _ : state) {
        switch (state.range(0)) {
        case 0:
            benchmark::DoNotOptimize(walkJpeg(source));
            break;
        case 1:
            benchmark::DoNotOptimize(parseTiff(tiff));
            break;
        case 2:
            benchmark::DoNotOptimize(parseIptc(iptc->data));
            break;
        default: {
            auto parsed = XmpPacket::parse(xmp);
            benchmark::DoNotOptimize(parsed->properties());
        }
        }
    }
    const char* names[] = {"walk", "tiff", "iptc", "xmp"};
    state.SetLabel(names[state.range(0)]);
}
BENCHMARK(BM_Parser)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

} // namespace
