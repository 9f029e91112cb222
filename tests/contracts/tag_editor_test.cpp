// SPDX-License-Identifier: MIT
// The tag-editor component is reached through its vtable and its tag block is read in place,
// so both must keep the component's slots and byte offsets.
#include "contracts/tag_editor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

// Itanium C++ ABI: a pointer to a virtual member function stores 1 + the byte offset of its
// vtable entry.
template <typename Pmf> size_t slotOf(Pmf pmf)
{
    static_assert(sizeof(Pmf) == 2 * sizeof(uintptr_t));
    uintptr_t rep[2];
    std::memcpy(rep, &pmf, sizeof rep);
    EXPECT_EQ(rep[0] % sizeof(void*), 1u) << "not a virtual function";
    return (rep[0] - 1) / sizeof(void*);
}

} // namespace

TEST(TagEditorContract, OperationsSitInTheirSlots)
{
    EXPECT_EQ(slotOf(&ITagEditor::Release), 2u);
    EXPECT_EQ(slotOf(&ITagEditor::Open), 3u);
    EXPECT_EQ(slotOf(&ITagEditor::SetTag), 4u);
    EXPECT_EQ(slotOf(&ITagEditor::RemoveFamily), 5u);
    EXPECT_EQ(slotOf(&ITagEditor::Save), 6u);
    EXPECT_EQ(slotOf(&ITagEditor::Close), 7u);
    EXPECT_EQ(&uuidof<ITagEditor>(), &IID_ITagEditor);
}

TEST(TagEditorContract, BlockFieldsSitAtTheComponentOffsets)
{
    // Fill a raw byte image the way the component lays it out and read it through the struct.
    auto bytes = std::make_unique<BYTE[]>(sizeof(TagBlock));
    std::memset(bytes.get(), 0, sizeof(TagBlock));
    auto put32 = [&](size_t offset, uint32_t value) { std::memcpy(&bytes[offset], &value, 4); };
    put32(252 + 4 * 4, 1);     // ID3v2 (code 4) present
    put32(332 + 4 * 6, 2 | 8); // ASF (code 6) writable and removable
    put32(420 + 48 * 116, 7);  // tag 116 (ID3v1 genre) length
    BYTE value[7] = {};
    BYTE* address = value;
    std::memcpy(&bytes[420 + 48 * 116 + 4], &address, sizeof address);
    bytes[420 + 48 * 116 + 47] = 0xAB; // last opaque byte of the entry

    TagBlock block;
    std::memcpy(&block, bytes.get(), sizeof block);
    EXPECT_NE(block.familyPresent[4], 0);
    EXPECT_EQ(block.familyPresent[3], 0);
    EXPECT_EQ(block.familyFlags[6] & kTagFamilyWritable, kTagFamilyWritable);
    EXPECT_EQ(block.familyFlags[6] & kTagFamilyRemovable, kTagFamilyRemovable);
    EXPECT_EQ(block.entries[116].nLength, 7);
    EXPECT_EQ(block.entries[116].pData, value);
    EXPECT_EQ(block.entries[116].reserved[35], 0xAB);
}
