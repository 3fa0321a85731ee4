// Catalogue files as a host's disk holds them, written by hand for the tests.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct CatalogueAd {
    uint32_t code;
    std::string file, name = "n";
    int type = 0;  // 0 picture, 1 movie
    std::string url = "";
    uint32_t favorite = 0, priority = 0;
};

// The name of the index-th ad's section.
inline std::string AdSection(size_t index) {
    char section[16];
    std::snprintf(section, sizeof section, "AD%04u", static_cast<unsigned>(index));
    return section;
}

inline std::string CatalogueText(const std::vector<CatalogueAd>& ads, const std::string& version = "1.1") {
    std::string text = "[Flyerbank]\r\nVersion=" + version + "\r\nCount=" + std::to_string(ads.size()) + "\r\n";
    for (size_t i = 0; i < ads.size(); ++i) {
        const CatalogueAd& a = ads[i];
        text += "[" + AdSection(i) + "]\r\nName=" + a.name + "\r\nFile=" + a.file + "\r\nID=" + std::to_string(a.code) +
                "\r\nType=" + std::to_string(a.type) + "\r\nURL=" + a.url + "\r\nTime=0\r\nFavorite=" +
                std::to_string(a.favorite) + "\r\nPriority=" + std::to_string(a.priority) + "\r\n";
    }
    return text;
}
