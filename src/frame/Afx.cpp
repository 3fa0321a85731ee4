#include "frame/Afx.h"

size_t FindLastSingleByte(const std::string& text, char sep) {
    size_t found = std::string::npos;
    for (size_t i = 0; i < text.size(); ++i) {
        if (IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) {
            ++i;
            continue;
        }
        if (text[i] == sep) found = i;
    }
    return found;
}

size_t CutToCharBoundary(const std::string& text, size_t max) {
    size_t i = 0;
    while (i < text.size()) {
        size_t width = (IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? 2 : 1;
        if (i + width > max) break;
        i += width;
    }
    return i;
}

bool EndsWithSingleByte(const std::string& text, char sep) {
    return !text.empty() && FindLastSingleByte(text, sep) == text.size() - 1;
}
