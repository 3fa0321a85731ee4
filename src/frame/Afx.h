// The small framework layer the library is written on: the Windows scalar types,
// the string, the map with the enumeration order the catalogue file relies on.
#pragma once
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/CodePage.h"

using DWORD = uint32_t;
using BOOL = int32_t;
using LPCSTR = const char*;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

using CString = std::string;

// Map from DWORD with MFC's hashing: bucket (key >> 4) % 17, newest key first within
// a bucket. The order matters: the catalogue file and the server's code list follow it.
// An index beside the buckets finds a key at once: seventeen buckets alone made every
// lookup walk a seventeenth of the map, and a catalogue of favourites can be large.
template <class VALUE>
class CMap {
public:
    static constexpr unsigned kHashSize = 17;

    CMap() = default;
    // The index points into this map's own buckets.
    CMap(const CMap&) = delete;
    CMap& operator=(const CMap&) = delete;

    bool Lookup(DWORD key, VALUE& value) const {
        auto it = m_index.find(key);
        if (it == m_index.end()) return false;
        value = it->second->second;
        return true;
    }
    bool Contains(DWORD key) const { return m_index.count(key) != 0; }
    void SetAt(DWORD key, const VALUE& value) {
        auto it = m_index.find(key);
        if (it != m_index.end()) {
            it->second->second = value;
            return;
        }
        auto& b = Bucket(key);
        b.emplace_front(key, value);
        m_index.emplace(key, b.begin());
    }
    bool RemoveKey(DWORD key) {
        auto it = m_index.find(key);
        if (it == m_index.end()) return false;
        Bucket(key).erase(it->second);
        m_index.erase(it);
        return true;
    }
    void RemoveAll() {
        for (auto& b : m_buckets) b.clear();
        m_index.clear();
    }
    size_t GetCount() const { return m_index.size(); }
    bool IsEmpty() const { return m_index.empty(); }

    // Visits every entry in enumeration order; f(key, value).
    template <class F>
    void ForEach(F f) const {
        for (const auto& b : m_buckets)
            for (const auto& a : b) f(a.first, a.second);
    }

private:
    using Assoc = std::pair<DWORD, VALUE>;
    std::list<Assoc>& Bucket(DWORD key) { return m_buckets[(key >> 4) % kHashSize]; }

    std::list<Assoc> m_buckets[kHashSize];
    std::unordered_map<DWORD, typename std::list<Assoc>::iterator> m_index;
};

// Multi-byte text in the platform's code page: separator scans step over whole characters.
inline bool IsLeadByte(unsigned char c) { return platform::IsLeadByte(c); }

// Index of the last single-byte `sep` in text, or npos.
size_t FindLastSingleByte(const std::string& text, char sep);
// Length of the longest prefix of text of at most max bytes that ends on a character boundary.
size_t CutToCharBoundary(const std::string& text, size_t max);
// True when the last character of text is the single byte `sep`.
bool EndsWithSingleByte(const std::string& text, char sep);
