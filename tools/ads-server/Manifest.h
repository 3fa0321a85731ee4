#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ads {

// One ad of the content folder. The payload stays on disk and is read as it is sent.
struct Ad {
    uint32_t code = 0;
    std::string extension;
    int32_t priority = 0;
    std::string name;  // as sent: code page 932 unless the names go out unconverted
    std::string link;
    std::string payloadPath;
    uint64_t payloadSize = 0;
};

// Reads DIR/manifest.txt: "code<TAB>ext<TAB>priority<TAB>name<TAB>link<TAB>payload"
// per line, '#' lines and blank lines skipped, names in UTF-8. An entry the library
// could only refuse (an extension it does not know, a payload outside DIR) is a fault.
// False with "file:line: why" on the first fault.
bool LoadManifest(const std::string& folder, bool utf8Names, std::vector<Ad>* ads, std::string* error);

// UTF-8 to code page 932; false when a character has no place there.
bool ToCp932(const std::string& utf8, std::string* out);

}  // namespace ads
