// The small framework layer the library is written on: the Windows scalar types,
// the string, the map with the enumeration order the catalogue file relies on.
#pragma once
#include <cstdint>
#include <list>
#include <string>
#include <vector>

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
template <class VALUE>
class CMap {
public:
    static constexpr unsigned kHashSize = 17;

    bool Lookup(DWORD key, VALUE& value) const {
        for (const auto& a : Bucket(key))
            if (a.first == key) { value = a.second; return true; }
        return false;
    }
    bool Contains(DWORD key) const {
        for (const auto& a : Bucket(key))
            if (a.first == key) return true;
        return false;
    }
    void SetAt(DWORD key, const VALUE& value) {
        auto& b = Bucket(key);
        for (auto& a : b)
            if (a.first == key) { a.second = value; return; }
        b.emplace_front(key, value);
        ++m_count;
    }
    bool RemoveKey(DWORD key) {
        auto& b = Bucket(key);
        for (auto it = b.begin(); it != b.end(); ++it)
            if (it->first == key) { b.erase(it); --m_count; return true; }
        return false;
    }
    void RemoveAll() {
        for (auto& b : m_buckets) b.clear();
        m_count = 0;
    }
    size_t GetCount() const { return m_count; }
    bool IsEmpty() const { return m_count == 0; }

    // Visits every entry in enumeration order; f(key, value).
    template <class F>
    void ForEach(F f) const {
        for (const auto& b : m_buckets)
            for (const auto& a : b) f(a.first, a.second);
    }

private:
    using Assoc = std::pair<DWORD, VALUE>;
    std::list<Assoc>& Bucket(DWORD key) { return m_buckets[(key >> 4) % kHashSize]; }
    const std::list<Assoc>& Bucket(DWORD key) const { return m_buckets[(key >> 4) % kHashSize]; }

    std::list<Assoc> m_buckets[kHashSize];
    size_t m_count = 0;
};

// Multi-byte text in code page 932: lead bytes start a two-byte character whose second
// byte may be 0x5C, the backslash, so separator scans must step over whole characters.
inline bool IsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// Index of the last single-byte `sep` in text, or npos.
size_t FindLastSingleByte(const std::string& text, char sep);
// Length of the longest prefix of text of at most max bytes that ends on a character boundary.
size_t CutToCharBoundary(const std::string& text, size_t max);
// True when the last character of text is the single byte `sep`.
bool EndsWithSingleByte(const std::string& text, char sep);
