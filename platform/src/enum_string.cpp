// SPDX-License-Identifier: MIT
// IEnumString over a fixed list of strings, for implementers of GetEnumerator.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tavrel/platform/com_object.h"
#include "utf.h"

namespace {

using Strings = std::vector<std::u16string>;

class StringEnumerator final : public tavrel::ComObject<StringEnumerator, IEnumString> {
  public:
    StringEnumerator(std::shared_ptr<const Strings> strings, size_t position)
        : m_strings(std::move(strings)), m_pos(position)
    {
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override
    {
        if (pceltFetched) *pceltFetched = 0;
        if (!pceltFetched && celt != 1) return E_INVALIDARG;
        if (celt && !rgelt) return E_INVALIDARG;
        std::lock_guard lock(m_mutex);
        ULONG fetched = 0;
        while (fetched < celt && m_pos < m_strings->size()) {
            const std::u16string& s = (*m_strings)[m_pos];
            auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc((s.size() + 1) * sizeof(OLECHAR)));
            if (!copy) {
                // Nothing is handed out on failure: free what this call made, keep the position.
                for (ULONG i = 0; i < fetched; ++i) {
                    CoTaskMemFree(rgelt[i]);
                    rgelt[i] = nullptr;
                }
                m_pos -= fetched;
                return E_OUTOFMEMORY;
            }
            std::memcpy(copy, s.c_str(), (s.size() + 1) * sizeof(OLECHAR));
            rgelt[fetched++] = copy;
            ++m_pos;
        }
        if (pceltFetched) *pceltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override
    {
        std::lock_guard lock(m_mutex);
        const size_t left = m_strings->size() - m_pos;
        if (celt > left) {
            m_pos = m_strings->size();
            return S_FALSE;
        }
        m_pos += celt;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Reset() override
    {
        std::lock_guard lock(m_mutex);
        m_pos = 0;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Clone(IEnumString** ppenum) override
    {
        if (!ppenum) return E_INVALIDARG;
        size_t pos;
        {
            std::lock_guard lock(m_mutex);
            pos = m_pos;
        }
        *ppenum = createNew(m_strings, pos);
        return *ppenum ? S_OK : E_OUTOFMEMORY;
    }

  private:
    std::shared_ptr<const Strings> m_strings; // shared with clones, never changed
    std::mutex m_mutex;                       // guards m_pos
    size_t m_pos;
};

} // namespace

TAVREL_API HRESULT TavrelCreateEnumString(const LPCOLESTR* strings, ULONG count,
                                          IEnumString** ppenum)
{
    if (!ppenum) return E_INVALIDARG;
    *ppenum = nullptr;
    if (count && !strings) return E_INVALIDARG;
    try {
        auto list = std::make_shared<Strings>();
        list->reserve(count);
        for (ULONG i = 0; i < count; ++i) {
            if (!strings[i]) return E_INVALIDARG;
            list->emplace_back(strings[i]);
        }
        *ppenum = StringEnumerator::createNew(std::move(list), 0);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return *ppenum ? S_OK : E_OUTOFMEMORY;
}
