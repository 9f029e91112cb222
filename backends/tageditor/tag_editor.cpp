// SPDX-License-Identifier: MIT
// The tag-editor component: opens an audio or video file, exposes its tags in the tag block,
// stages edits in memory and writes them through a sibling copy on Save.
#include "contracts/tag_editor.h"

#include "checked_stream.h"
#include "sibling_rewrite.h"
#include "tag_families.h"

#include <tavrel/platform/com_object.h>
#include <tavrel/platform/combase.h>
#include <tavrel/platform/text.h>

#include <taglib/tfile.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace mio::tageditor {
namespace {

constexpr size_t kHeadBytes = 64 * 1024;

// Runs fn, turning exceptions (TagLib and the STL may throw) into HRESULTs.
template <class Fn> HRESULT guarded(Fn&& fn) noexcept
{
    try {
        return fn();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

std::string extensionOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return path.substr(dot);
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Reads the snapshot of the file; the container is detected on the first open.
HRESULT readFile(const std::string& path, std::optional<Container>& container, Snapshot& snapshot)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return hresultFromErrno(errno);
    CheckedStream stream(fd, path, false);
    struct stat info {};
    if (fstat(fd, &info) != 0) return hresultFromErrno(errno);
    if (!S_ISREG(info.st_mode)) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    if (!container) {
        std::vector<uint8_t> head(kHeadBytes);
        const ssize_t n = pread(fd, head.data(), head.size(), 0);
        if (n < 0) return hresultFromErrno(errno);
        head.resize(static_cast<size_t>(n));
        container = detectContainer(head, extensionOf(path));
        if (!container) return E_FAIL;
    }
    auto file = openTagLibFile(*container, &stream);
    if (!file) return E_FAIL;
    snapshot = readSnapshot(*container, *file);
    return stream.error() == 0 ? S_OK : E_FAIL;
}

class TagEditor final : public tavrel::ComObject<TagEditor, ITagEditor> {
  public:
    static constexpr bool kAggregatable = false;

    STDMETHODIMP Open(DWORD, LPCSTR pszFileName, TagBlock** ppTagBlock, DWORD* pdwFamilies,
                      DWORD) override
    {
        if (ppTagBlock) *ppTagBlock = nullptr;
        if (pdwFamilies) *pdwFamilies = 0;
        if (!pszFileName || !ppTagBlock || !pdwFamilies) return E_INVALIDARG;
        if (m_block) return E_FAIL;
        return guarded([&] { return open(pszFileName, ppTagBlock, pdwFamilies); });
    }

    STDMETHODIMP SetTag(int32_t nTag, const TagEntry* pEntry, int32_t nFamily, DWORD, DWORD,
                        DWORD) override
    {
        if (!pEntry) return E_INVALIDARG;
        if (!m_block) return E_FAIL;
        const int code = nFamily + 2;
        int first = 0, last = 0;
        if (!tagRange(code, first, last) || nTag < first || nTag > last) return E_INVALIDARG;
        if (pEntry->nLength <= 0 || !pEntry->pData) return E_INVALIDARG;
        if (!(m_block->familyFlags[code] & kTagFamilyWritable)) return E_FAIL;
        return guarded([&] { return setTag(code, nTag, *pEntry); });
    }

    STDMETHODIMP RemoveFamily(int32_t nFamily, DWORD) override
    {
        if (!m_block) return E_FAIL;
        const int code = nFamily + 2;
        int first = 0, last = 0;
        if (!tagRange(code, first, last)) return E_FAIL;
        if (!(m_block->familyFlags[code] & kTagFamilyRemovable)) return E_FAIL;
        return guarded([&] {
            m_changes.removeAll[code] = true;
            m_changes.sets[code].clear();
            m_snapshot.families[code] = FamilyValues{};
            rebuildBlock();
            return S_OK;
        });
    }

    STDMETHODIMP Save(DWORD) override
    {
        if (!m_block) return E_FAIL;
        return guarded([&] { return save(); });
    }

    STDMETHODIMP Close() override
    {
        m_block.reset();
        m_entryData = {};
        m_snapshot = {};
        m_changes = {};
        m_container.reset();
        m_path.clear();
        return S_OK;
    }

  private:
    HRESULT open(LPCSTR pszFileName, TagBlock** ppTagBlock, DWORD* pdwFamilies)
    {
        auto wide = tavrel::toWide(pszFileName, CP_ACP);
        if (!wide) return HRESULT_FROM_WIN32(GetLastError());
        auto path = tavrel::toMultiByte(*wide, CP_UTF8);
        if (!path) return HRESULT_FROM_WIN32(GetLastError());

        // Edits replace the file by rename, so they must happen beside the real file, not beside
        // a symbolic link to it (short path aliases are such links).
        std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path->c_str(), nullptr),
                                                             &std::free);
        if (resolved) *path = resolved.get();

        std::optional<Container> container;
        Snapshot snapshot;
        const HRESULT hr = readFile(*path, container, snapshot);
        if (FAILED(hr)) return hr;

        auto block = std::make_unique<TagBlock>();
        std::memset(block.get(), 0, sizeof(TagBlock));
        m_path = *path;
        m_container = container;
        m_snapshot = std::move(snapshot);
        // Writing needs the file and its folder, where the new copy is made.
        m_writable =
            access(m_path.c_str(), W_OK) == 0 && access(folderOf(m_path).c_str(), W_OK) == 0;
        m_block = std::move(block);
        rebuildBlock();

        DWORD families = 0;
        for (int code = kCodeId3v1; code <= kCodeAsf; ++code)
            if (m_snapshot.families[code].present) families |= 1u << code;
        *ppTagBlock = m_block.get();
        *pdwFamilies = families;
        return S_OK;
    }

    HRESULT setTag(int code, int tag, const TagEntry& entry)
    {
        auto value =
            canonicalValue(code, tag, std::span(entry.pData, static_cast<size_t>(entry.nLength)));
        if (!value) return E_INVALIDARG;
        auto& family = m_snapshot.families[code];
        if (value->empty())
            family.values.erase(tag);
        else
            family.values[tag] = *value;
        family.present = family.present || !value->empty();
        m_changes.sets[code][tag] = std::move(*value);
        rebuildBlock();
        return S_OK;
    }

    HRESULT save()
    {
        if (!m_changes.any()) return S_OK;
        const Container container = *m_container;
        const int version = m_snapshot.id3v2Version;
        const HRESULT hr = rewriteThroughSibling(m_path, [&](CheckedStream& stream) -> HRESULT {
            auto file = openTagLibFile(container, &stream);
            if (!file) return E_FAIL;
            if (!applyChanges(container, *file, m_changes, version)) return E_FAIL;
            return S_OK;
        });
        if (FAILED(hr)) return hr;
        m_changes = {};
        // Show the tags as they now are in the file; the staged view stays if it cannot be read.
        Snapshot snapshot;
        if (SUCCEEDED(readFile(m_path, m_container, snapshot))) m_snapshot = std::move(snapshot);
        rebuildBlock();
        return S_OK;
    }

    void rebuildBlock()
    {
        TagBlock& block = *m_block;
        std::memset(&block, 0, sizeof(TagBlock));
        m_entryData = {};
        for (int code = kCodeId3v1; code <= kCodeAsf; ++code) {
            const auto& family = m_snapshot.families[code];
            const bool carried = containerHasFamily(*m_container, code);
            block.familyPresent[code] = family.present ? 1 : 0;
            uint32_t flags = 0;
            if (carried && m_writable) flags |= kTagFamilyWritable;
            if (carried && m_writable && family.present) flags |= kTagFamilyRemovable;
            block.familyFlags[code] = flags;
            if (!family.present) continue;
            for (const auto& [tag, value] : family.values) {
                if (tag < 0 || tag > kTagEditorMaxTag || value.empty()) continue;
                m_entryData[static_cast<size_t>(tag)] = value;
                block.entries[tag].nLength = static_cast<int32_t>(value.size());
                block.entries[tag].pData = m_entryData[static_cast<size_t>(tag)].data();
            }
        }
    }

    std::unique_ptr<TagBlock> m_block; // non-null while a file is open
    std::array<Bytes, kTagEditorMaxTag + 1> m_entryData;
    Snapshot m_snapshot;
    Changes m_changes;
    std::optional<Container> m_container;
    std::string m_path; // file-system spelling
    bool m_writable = false;
};

HRESULT STDMETHODCALLTYPE getClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (rclsid != CLSID_TagEditor) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = tavrel::ClassFactory<TagEditor>::createNew();
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

} // namespace
} // namespace mio::tageditor

TAVREL_API HRESULT TagEditorRegisterClass()
{
    return TavrelRegisterInprocClass(CLSID_TagEditor, &mio::tageditor::getClassObject);
}

TAVREL_API HRESULT TagEditorRevokeClass()
{
    return TavrelRevokeInprocClass(CLSID_TagEditor);
}
