// Profile files parsed whole into memory, and written only whole through a rename.
// Both backends use it: it reads back through the system's profile functions the same.
#include "platform/Profile.h"

#include "platform/Files.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <utility>

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Names fold ASCII letters only: the bytes are code-page text we never decode.
std::string Fold(const std::string& s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool SameName(const std::string& a, const std::string& folded) {
    if (a.size() != folded.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != folded[i]) return false;
    }
    return true;
}

std::string Trim(const char* begin, const char* end) {
    while (begin < end && IsBlank(*begin)) ++begin;
    while (end > begin && IsBlank(end[-1])) --end;
    return std::string(begin, end);
}

std::string Trim(const char* s) { return Trim(s, s + std::strlen(s)); }

// A value may be quoted to keep its outer blanks; one matching pair goes.
std::pair<const char*, size_t> Unquote(const std::string& v) {
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
        return {v.data() + 1, v.size() - 2};
    return {v.data(), v.size()};
}

struct Entry {
    bool isKey;
    std::string name;   // the key, or the whole text of a line without "="
    std::string value;  // as stored: trimmed, quotes kept
};

// Sections of this many lines or fewer are searched in order: cheaper than a map.
constexpr size_t kIndexedSection = 24;

struct Section {
    bool hasHeader = false;  // false only for lines before the first header
    std::string name;
    std::vector<Entry> entries;
    std::unordered_map<std::string, size_t> keys;  // folded key -> first entry, big sections only

    void Index() {
        keys.clear();
        if (entries.size() <= kIndexedSection) return;
        for (size_t i = 0; i < entries.size(); ++i)
            if (entries[i].isKey) keys.emplace(Fold(entries[i].name), i);
    }

    const Entry* Find(const std::string& folded) const {
        if (entries.size() > kIndexedSection) {
            auto it = keys.find(folded);
            return it == keys.end() ? nullptr : &entries[it->second];
        }
        for (const Entry& e : entries)
            if (e.isKey && SameName(e.name, folded)) return &e;
        return nullptr;
    }
    Entry* Find(const std::string& folded) { return const_cast<Entry*>(std::as_const(*this).Find(folded)); }

    void Add(const std::string& key, const std::string& folded, const std::string& value) {
        entries.push_back({true, key, value});
        if (entries.size() == kIndexedSection + 1) Index();
        else if (entries.size() > kIndexedSection) keys.emplace(folded, entries.size() - 1);
    }
};

// The non-empty lines of a file's text, without their outer blanks and line end.
struct Line {
    const char* p;
    const char* end;
    const char* b = nullptr;
    const char* e = nullptr;
    bool first = true;

    Line(const char* begin, const char* stop) : p(begin), end(stop) {}

    bool Next() {
        while (p < end) {
            const char* eol = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (!eol) eol = end;
            // A NUL ends the line's text, so everything read stays a C string.
            const char* nul = static_cast<const char*>(std::memchr(p, '\0', static_cast<size_t>(eol - p)));
            b = p;
            e = nul ? nul : eol;
            p = eol < end ? eol + 1 : end;
            while (e > b && (IsBlank(e[-1]) || e[-1] == '\r')) --e;
            for (;;) {
                while (b < e && IsBlank(*b)) ++b;
                // A UTF-8 mark goes before the text; dropping it wherever the first line
                // starts keeps a rewritten file from beginning with one it would drop.
                if (!first || e - b < 3 || std::memcmp(b, "\xEF\xBB\xBF", 3) != 0) break;
                b += 3;
            }
            if (b < e) {
                first = false;
                return true;
            }
        }
        return false;
    }

    // The "]" closing a section header, or null when the line is none.
    const char* Close() const {
        if (*b != '[') return nullptr;
        for (const char* q = e; q > b + 1; --q)
            if (q[-1] == ']') return q - 1;
        return nullptr;
    }
};

struct Document {
    std::vector<Section> sections{Section()};
    std::unordered_map<std::string, size_t> index;  // folded name -> first section of it

    void Index() {
        index.clear();
        for (size_t i = 1; i < sections.size(); ++i) index.emplace(Fold(sections[i].name), i);
    }

    const Section* Find(const std::string& folded) const {
        auto it = index.find(folded);
        return it == index.end() ? nullptr : &sections[it->second];
    }

    const std::string* Value(const char* section, const char* key) const {
        if (!section || !key) return nullptr;
        const Section* s = Find(Fold(Trim(section)));
        if (!s) return nullptr;
        const Entry* e = s->Find(Fold(Trim(key)));
        return e ? &e->value : nullptr;
    }

    void Parse(const std::string& text) {
        const char* const begin = text.data();
        const char* const end = begin + text.size();
        // Counted first so each section's lines take one allocation, not a growing series.
        std::vector<size_t> counts(1, 0);
        for (Line line(begin, end); line.Next();) {
            if (line.Close()) counts.push_back(0);
            else ++counts.back();
        }
        sections.reserve(counts.size());
        sections[0].entries.reserve(counts[0]);
        Section* current = &sections[0];
        for (Line line(begin, end); line.Next();) {
            if (const char* close = line.Close()) {
                sections.emplace_back();
                current = &sections.back();
                current->hasHeader = true;
                current->name = Trim(line.b + 1, close);
                current->entries.reserve(counts[sections.size() - 1]);
                continue;
            }
            const char* eq = static_cast<const char*>(std::memchr(line.b, '=', static_cast<size_t>(line.e - line.b)));
            if (eq) current->entries.push_back({true, Trim(line.b, eq), Trim(eq + 1, line.e)});
            else current->entries.push_back({false, std::string(line.b, line.e), std::string()});
        }
        for (Section& s : sections) s.Index();
        Index();
    }

    // One write with the rules of the Windows call; false for what cannot be stored
    // without changing the file's line structure.
    bool Apply(const char* section, const char* key, const char* value) {
        if (!section) return false;
        for (const char* s : {section, key, value})
            if (s && std::strpbrk(s, "\r\n")) return false;
        const std::string name = Trim(section);
        const std::string folded = Fold(name);
        if (!key) {
            size_t kept = 1;
            for (size_t i = 1; i < sections.size(); ++i)
                if (!SameName(sections[i].name, folded)) {
                    if (kept != i) sections[kept] = std::move(sections[i]);
                    ++kept;
                }
            sections.resize(kept);
            Index();
            return true;
        }
        const std::string keyName = Trim(key);
        const std::string keyFolded = Fold(keyName);
        auto found = index.find(folded);
        if (!value) {
            if (found == index.end()) return true;
            Section& s = sections[found->second];
            auto& list = s.entries;
            size_t kept = 0;
            for (size_t i = 0; i < list.size(); ++i)
                if (!list[i].isKey || !SameName(list[i].name, keyFolded)) {
                    if (kept != i) list[kept] = std::move(list[i]);
                    ++kept;
                }
            list.resize(kept);
            s.Index();
            return true;
        }
        if (found == index.end()) {
            sections.emplace_back();
            sections.back().hasHeader = true;
            sections.back().name = name;
            found = index.emplace(folded, sections.size() - 1).first;
        }
        Section& s = sections[found->second];
        if (Entry* e = s.Find(keyFolded)) e->value = Trim(value);
        else s.Add(keyName, keyFolded, Trim(value));
        return true;
    }

    std::string Render() const {
        std::string out;
        for (const Section& s : sections) {
            if (s.hasHeader) out.append("[").append(s.name).append("]\r\n");
            for (const Entry& e : s.entries) {
                out.append(e.name);
                if (e.isKey) out.append("=").append(e.value);
                out.append("\r\n");
            }
        }
        return out;
    }
};

uint32_t CopyOut(const char* text, size_t len, char* buf, uint32_t size) {
    if (!buf || size == 0) return 0;
    if (len > size - 1) len = size - 1;
    std::memcpy(buf, text, len);
    buf[len] = '\0';
    return static_cast<uint32_t>(len);
}

// Optional sign, then decimal digits or "0x" and hex digits, up to the first other
// byte; the number wraps modulo 2^32 as an unsigned sum would.
uint32_t ParseInt(const char* p, const char* end) {
    while (p < end && IsBlank(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    uint32_t n = 0;
    if (end - p >= 2 && p[0] == '0' && p[1] == 'x') {
        for (p += 2; p < end; ++p) {
            char c = *p;
            uint32_t d;
            if (c >= '0' && c <= '9') d = static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') d = static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') d = static_cast<uint32_t>(c - 'A' + 10);
            else break;
            n = n * 16u + d;
        }
    } else {
        for (; p < end && *p >= '0' && *p <= '9'; ++p) n = n * 10u + static_cast<uint32_t>(*p - '0');
    }
    return negative ? 0u - n : n;
}

}  // namespace

struct ProfileReader::Impl {
    Document doc;
};

ProfileReader::ProfileReader(const std::string& path) : m_impl(new Impl) {
    std::string text;
    if (ReadWholeFile(path, text) == FileRead::Ok) m_impl->doc.Parse(text);
}

ProfileReader::ProfileReader(const std::string& text, FromText) : m_impl(new Impl) { m_impl->doc.Parse(text); }

ProfileReader::~ProfileReader() = default;

uint32_t ProfileReader::GetString(const char* section, const char* key, const char* def, char* buf,
                                  uint32_t size) const {
    if (const std::string* v = m_impl->doc.Value(section, key)) {
        auto text = Unquote(*v);
        return CopyOut(text.first, text.second, buf, size);
    }
    if (!def) def = "";
    size_t len = std::strlen(def);
    while (len > 0 && def[len - 1] == ' ') --len;
    return CopyOut(def, len, buf, size);
}

bool ProfileReader::GetFullString(const char* section, const char* key, std::string& out) const {
    const std::string* v = m_impl->doc.Value(section, key);
    if (!v) {
        out.clear();
        return false;
    }
    auto text = Unquote(*v);
    out.assign(text.first, text.second);
    return true;
}

uint32_t ProfileReader::GetInt(const char* section, const char* key, int def) const {
    const std::string* v = m_impl->doc.Value(section, key);
    if (!v) return static_cast<uint32_t>(def);
    auto text = Unquote(*v);
    if (text.second == 0) return static_cast<uint32_t>(def);
    return ParseInt(text.first, text.first + text.second);
}

uint32_t ProfileReader::SectionCount() const {
    return static_cast<uint32_t>(m_impl->doc.sections.size() - 1);
}

std::vector<std::string> ProfileReader::SectionNames() const {
    std::vector<std::string> names;
    names.reserve(m_impl->doc.sections.size() - 1);
    for (size_t i = 1; i < m_impl->doc.sections.size(); ++i) names.push_back(m_impl->doc.sections[i].name);
    return names;
}

struct ProfileWriter::Impl {
    std::string path;
    Document doc;
    std::string committed;
};

ProfileWriter::ProfileWriter(const std::string& path) : m_impl(new Impl) { m_impl->path = path; }

ProfileWriter::~ProfileWriter() = default;

bool ProfileWriter::Write(const char* section, const char* key, const char* value) {
    return m_impl->doc.Apply(section, key, value);
}

bool ProfileWriter::Commit() {
    std::string text = m_impl->doc.Render();
    if (!ReplaceFileWhole(m_impl->path, text)) return false;
    m_impl->committed.swap(text);
    return true;
}

const std::string& ProfileWriter::CommittedText() const { return m_impl->committed; }

bool WriteProfileString(const char* section, const char* key, const char* value, const std::string& path) {
    std::string text;
    FileRead read = ReadWholeFile(path, text);
    // An unreadable file is kept: rewriting it from nothing would lose what it holds.
    if (read == FileRead::Failed) return false;
    Document doc;
    doc.Parse(text);
    if (!doc.Apply(section, key, value)) return false;
    // Removing from a file that is not there leaves it not there.
    if (read == FileRead::Missing && (!key || !value)) return true;
    return ReplaceFileWhole(path, doc.Render());
}

}  // namespace platform
