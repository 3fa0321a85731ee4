// Profile (INI) files with the semantics of the Windows private-profile functions.
// Reads and writes go through a session object so a backend may parse or write the
// file once per session instead of once per key.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class ProfileReader {
public:
    explicit ProfileReader(const std::string& path);
    // Parses a file's text already read, so a caller that compares the text first reads once.
    struct FromText {};
    ProfileReader(const std::string& text, FromText);
    ~ProfileReader();
    ProfileReader(const ProfileReader&) = delete;
    ProfileReader& operator=(const ProfileReader&) = delete;

    // As GetPrivateProfileStringA: copies at most size-1 bytes and a NUL into buf and
    // returns the bytes copied; def (NULL = "") is used when the key is missing.
    uint32_t GetString(const char* section, const char* key, const char* def, char* buf,
                       uint32_t size) const;
    // The whole value, uncut (empty when missing); for callers that must not truncate.
    bool GetFullString(const char* section, const char* key, std::string& out) const;
    // As GetPrivateProfileIntA: leading decimal number, wrapping to 32 bits.
    uint32_t GetInt(const char* section, const char* key, int def) const;
    // Number of sections the file holds (0 when it cannot be read).
    uint32_t SectionCount() const;
    // Names of the sections as they stand in the file, in file order.
    std::vector<std::string> SectionNames() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Builds a new file key by key and puts it in place of the old one only on Commit,
// so a failed or interrupted write leaves the old file whole.
class ProfileWriter {
public:
    explicit ProfileWriter(const std::string& path);
    ~ProfileWriter();
    ProfileWriter(const ProfileWriter&) = delete;
    ProfileWriter& operator=(const ProfileWriter&) = delete;

    bool Write(const char* section, const char* key, const char* value);
    bool Commit();
    // The text the last successful Commit put in place.
    const std::string& CommittedText() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// As WritePrivateProfileStringA on an existing or new file: key NULL removes the
// section, value NULL removes the key; the file is rewritten normalised.
bool WriteProfileString(const char* section, const char* key, const char* value,
                        const std::string& path);

}  // namespace platform
