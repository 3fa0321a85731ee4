#include "Manifest.h"

#include <iconv.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>

namespace ads {

namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t at = 0;
    for (size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1)
        fields.push_back(line.substr(at, tab - at));
    fields.push_back(line.substr(at));
    return fields;
}

bool ReadNumber(const std::string& text, long long low, long long high, long long* value) {
    size_t start = text.size() > 1 && text[0] == '-' ? 1 : 0;
    if (text.size() == start || text.size() > 12 || text.find_first_not_of("0123456789", start) != std::string::npos)
        return false;
    *value = std::stoll(text);
    return *value >= low && *value <= high;
}

// The five the library takes; any other it can only refuse.
bool KnownExtension(std::string extension) {
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* known : {"jpg", "png", "asf", "wmv", "cab"})
        if (extension == known) return true;
    return false;
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : "";
}

// A regular file inside the content folder once links are resolved; "" with *why set
// otherwise.
std::string PayloadPath(const std::string& realFolder, const std::string& name, std::string* why) {
    if (name.empty() || name[0] == '/') {
        *why = "the payload must be a path inside the content folder, not '" + name + "'";
        return "";
    }
    const std::string path = RealPath(realFolder + "/" + name);
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "cannot read the payload file '" + name + "'";
        return "";
    }
    if (path.compare(0, realFolder.size() + 1, realFolder + "/") != 0) {
        *why = "the payload '" + name + "' lies outside the content folder";
        return "";
    }
    return path;
}

}  // namespace

bool ToCp932(const std::string& utf8, std::string* out) {
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string result(utf8.size() * 2 + 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* o = &result[0];
    size_t outLeft = result.size();
    const bool ok = iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<size_t>(-1) && inLeft == 0;
    iconv_close(cd);
    result.resize(result.size() - outLeft);
    if (ok) *out = result;
    return ok;
}

bool LoadManifest(const std::string& folder, bool utf8Names, std::vector<Ad>* ads, std::string* error) {
    const std::string path = folder + "/manifest.txt";
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot read it";
        return false;
    }
    const std::string realFolder = RealPath(folder);
    std::set<uint32_t> seen;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        const std::vector<std::string> f = SplitTabs(line);
        if (f.size() != 6) {
            *error = where + "want 6 tab-separated fields (code, ext, priority, name, link, payload), found " +
                     std::to_string(f.size());
            return false;
        }
        Ad ad;
        long long value = 0;
        if (!ReadNumber(f[0], 1, 9999999, &value) || f[0][0] == '-') {
            *error = where + "the code must be a number from 1 to 9999999";
            return false;
        }
        ad.code = static_cast<uint32_t>(value);
        if (!seen.insert(ad.code).second) {
            *error = where + "code " + f[0] + " is listed twice";
            return false;
        }
        ad.extension = f[1];
        if (ad.extension.empty() || ad.extension.find_first_of("./\\\r\n") != std::string::npos) {
            *error = where + "the extension must be a bare word such as jpg";
            return false;
        }
        if (!KnownExtension(ad.extension)) {
            *error = where + "the extension '" + ad.extension + "' is none of jpg, png, asf, wmv, cab";
            return false;
        }
        if (!ReadNumber(f[2], INT32_MIN, INT32_MAX, &value)) {
            *error = where + "the priority must be a whole number";
            return false;
        }
        ad.priority = static_cast<int32_t>(value);
        if (utf8Names) ad.name = f[3];
        else if (!ToCp932(f[3], &ad.name)) {
            *error = where + "the name has a character that code page 932 lacks (or is not UTF-8)";
            return false;
        }
        ad.link = f[4];
        std::string why;
        ad.payloadPath = PayloadPath(realFolder, f[5], &why);
        struct stat st;
        if (ad.payloadPath.empty() || stat(ad.payloadPath.c_str(), &st) != 0) {
            *error = where + why;
            return false;
        }
        ad.payloadSize = static_cast<uint64_t>(st.st_size);
        ads->push_back(std::move(ad));
    }
    return true;
}

}  // namespace ads
