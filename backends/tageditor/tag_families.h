// SPDX-License-Identifier: MIT
// The tag families of audio and video containers, read from and written to TagLib files in the
// stored forms of the tag block (tag numbers, text encodings, ID3v2 leading bytes).
#pragma once

#include "contracts/tag_editor.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace TagLib {
class File;
class IOStream;
} // namespace TagLib

namespace mio::tageditor {

using Bytes = std::vector<uint8_t>;

// MetaFormat codes of the families (family index + 2).
inline constexpr int kCodeId3v1 = 3;
inline constexpr int kCodeId3v2 = 4;
inline constexpr int kCodeVorbis = 5;
inline constexpr int kCodeAsf = 6;
inline constexpr int kFamilyCount = 7; // indexed by code; 0..2 unused

enum class Container : uint8_t { Mpeg, Flac, OggVorbis, OggOpus, Asf, Aiff };

// What the file's first bytes (and, for bare MPEG audio, its extension) say it is.
std::optional<Container> detectContainer(std::span<const uint8_t> head,
                                         const std::string& extension);

// Whether the container carries the family at all.
bool containerHasFamily(Container container, int code);

// First and last tag number of a family; false for a code outside 3..6.
bool tagRange(int code, int& first, int& last);
bool isTextTag(int code, int tag);

struct FamilyValues {
    bool present = false;
    std::map<int, Bytes> values; // tag -> stored bytes
};

struct Snapshot {
    std::array<FamilyValues, kFamilyCount> families;
    int id3v2Version = 0; // major version of the file's ID3v2 tag, 0 when none
};

struct Changes {
    std::array<bool, kFamilyCount> removeAll{};
    std::array<std::map<int, Bytes>, kFamilyCount> sets;
    bool any() const;
};

// A TagLib file of the container's type over the stream (not owned). Null when TagLib refuses it.
std::unique_ptr<TagLib::File> openTagLibFile(Container container, TagLib::IOStream* stream);

// Reads every family the container carries.
Snapshot readSnapshot(Container container, TagLib::File& file);

// Checks a new value for the tag and returns it in its canonical stored form (text re-encoded
// with its leading bytes, trailing terminators dropped); nothing when the value is malformed.
std::optional<Bytes> canonicalValue(int code, int tag, std::span<const uint8_t> stored);

// Applies the changes to the file's tags and writes them through its stream. False when
// TagLib reports a failure.
bool applyChanges(Container container, TagLib::File& file, const Changes& changes,
                  int id3v2Version);

} // namespace mio::tageditor
