// The library as the host sees it: loaded at run time, every export resolved up front so
// a missing one is found before any command runs.
#pragma once
#include <string>

#include "flyerbank.h"

namespace host {

struct Library {
    decltype(&::FLBUpdate) Update = nullptr;
    decltype(&::FLBUpdateCancel) UpdateCancel = nullptr;
    decltype(&::FLBNotifyAVLS) NotifyAVLS = nullptr;
    decltype(&::FLBSetFolder) SetFolder = nullptr;
    decltype(&::FLBGetOrder) GetOrder = nullptr;
    decltype(&::FLBGetPictureList) GetPictureList = nullptr;
    decltype(&::FLBGetMovieList) GetMovieList = nullptr;
    decltype(&::FLBGetName) GetName = nullptr;
    decltype(&::FLBGetFavoriteFlag) GetFavoriteFlag = nullptr;
    decltype(&::FLBGetFileName) GetFileName = nullptr;
    decltype(&::FLBGetThumbnail) GetThumbnail = nullptr;
    decltype(&::FLBGetURL) GetURL = nullptr;
    decltype(&::FLBSetName) SetName = nullptr;
    decltype(&::FLBSetFavoriteFlag) SetFavoriteFlag = nullptr;
    decltype(&::FLBRemove) Remove = nullptr;

    // Loads `path` ("" picks the default places). False with a one-line reason.
    bool Load(const std::string& path, std::string& error);
};

}  // namespace host
