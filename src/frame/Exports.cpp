// The fifteen exported functions: each runs one operation of theApp inside the common
// frame, which turns every failure into a message and a zero result.
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>

#include "catalogue/DisplayOrder.h"
#include "frame/App.h"
#include "frame/Exceptions.h"
#include "frame/Messages.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "update/UpdateThread.h"
#include "viewlog/AvlsNotice.h"

#define FLB_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

template <class Result, class Body>
Result Frame(Body body) {
    try {
        return body();
    } catch (const CUserException&) {
    } catch (const CMemoryException&) {
        ShowMessage(IDP_NO_MEMORY);
    } catch (const std::bad_alloc&) {
        ShowMessage(IDP_NO_MEMORY);
    } catch (const CException& e) {
        e.ReportError(platform::kMbIconHand);
    } catch (...) {
        // Nothing may unwind into the host.
        CException().ReportError(platform::kMbIconHand);
    }
    return Result();
}

// Refusal of the exports that guard before calling anything.
bool RefuseWhileUpdating() {
    if (!theApp.IsUpdateRunning()) return false;
    ShowMessage(IDP_UPDATE_RUNNING);
    return true;
}

bool RefuseArgument(bool bad) {
    if (bad) ShowMessage(IDP_INVALID_ARGUMENT);
    return bad;
}

bool IsEmpty(const char* text) { return !text || !*text; }

// The user id and the client version go into the list form and the log line unencoded:
// a separator or a control character there would change what the servers read.
bool ChangesWireText(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        if (*p == '&' || *p == ',' || *p < 0x20 || *p == 0x7F) return true;
    return false;
}

// Copies a text argument on entry: it may point into the library's own text buffer,
// which the operation is about to reuse.
std::string Copy(const char* text) { return text ? std::string(text) : std::string(); }

int32_t ListOf(int32_t type, uint32_t** codes, int32_t* count) {
    if (RefuseWhileUpdating() || RefuseArgument(!codes || !count)) return 0;
    *codes = nullptr;
    *count = 0;
    return theApp.m_catalogue.ListCodes(type, codes, count);
}

}  // namespace

FLB_EXPORT int32_t FLBUpdate(const char* userId, void* window, int32_t sendHeldCodes, const char* clientVersion) {
    return Frame<int32_t>([&]() -> int32_t {
        if (RefuseWhileUpdating()) return 0;
        if (RefuseArgument(IsEmpty(userId) || !window || IsEmpty(clientVersion))) return 0;
        if (RefuseArgument(ChangesWireText(userId) || ChangesWireText(clientVersion))) return 0;
        const std::string user = Copy(userId), version = Copy(clientVersion);
        return StartUpdate(user.c_str(), window, sendHeldCodes, version.c_str());
    });
}

FLB_EXPORT int32_t FLBUpdateCancel(void) {
    return Frame<int32_t>([]() -> int32_t {
        return CancelUpdate();
    });
}

FLB_EXPORT int32_t FLBNotifyAVLS(uint32_t code, int32_t number, const char* text) {
    return Frame<int32_t>([&]() -> int32_t {
        if (RefuseWhileUpdating()) return 0;
        if (RefuseArgument(IsEmpty(text))) return 0;
        const std::string message = Copy(text);
        // The view counts even when the report does not get through.
        if (!theApp.m_catalogue.SetTime(code, static_cast<uint32_t>(std::time(nullptr)))) return 0;
        CAvlsNotice notice(theApp.m_szUserId, code, number, message.c_str());
        return notice.Send();
    });
}

FLB_EXPORT int32_t FLBSetFolder(const char* path) {
    return Frame<int32_t>([&]() -> int32_t {
        if (RefuseWhileUpdating() || RefuseArgument(!path)) return 0;
        // Absolute from here on: every File the catalogue stores is built from it, and a
        // relative one would name nothing once the host's current folder moves.
        std::string folder = path[0] ? platform::FullPathOf(path) : std::string();
        const bool needsSeparator = !EndsWithSingleByte(folder, platform::kPathSeparator);
        // Every path built from the folder must fit the system's limit.
        if (RefuseArgument(folder.size() + (needsSeparator ? 1 : 0) > CFlyerbankApp::MaxFolderLength())) return 0;
        if (!platform::Exists(folder) && !platform::MakeDirectory(folder)) {
            ShowMessage(IDP_FOLDER_CREATE);
            return 0;
        }
        // A plain file would pass the access check but no save could ever use it.
        if (!platform::IsReadWritable(folder) || !platform::IsDirectory(folder)) {
            ShowMessage(IDP_FOLDER_ACCESS);
            return 0;
        }
        if (needsSeparator) folder += platform::kPathSeparator;
        theApp.m_strFolder = folder;
        theApp.m_catalogue.Load(theApp.m_strFolder.c_str());
        return 1;
    });
}

FLB_EXPORT int32_t FLBGetOrder(uint32_t** codes, int32_t* count) {
    return Frame<int32_t>([&]() -> int32_t {
        if (RefuseWhileUpdating() || RefuseArgument(!codes || !count)) return 0;
        *codes = nullptr;
        *count = 0;
        std::vector<CAdRecord>& list = theApp.m_announcedAds;
        if (list.empty()) return 1;
        // An ad the catalogue no longer holds has no file left to show.
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [](CAdRecord& r) { return !theApp.m_catalogue.Lookup(r.ID, r); }),
                   list.end());
        if (list.empty()) return 1;
        SortForDisplay(list);
        auto* array = static_cast<uint32_t*>(std::calloc(list.size(), sizeof(uint32_t)));
        // A host must never read n codes from a NULL array.
        if (!array) return 0;
        for (size_t i = 0; i < list.size(); ++i) array[i] = list[i].ID;
        *codes = array;
        *count = static_cast<int32_t>(list.size());
        return 1;
    });
}

FLB_EXPORT int32_t FLBGetPictureList(uint32_t** codes, int32_t* count) {
    return Frame<int32_t>([&] { return ListOf(AD_TYPE_PICTURE, codes, count); });
}

FLB_EXPORT int32_t FLBGetMovieList(uint32_t** codes, int32_t* count) {
    return Frame<int32_t>([&] { return ListOf(AD_TYPE_MOVIE, codes, count); });
}

FLB_EXPORT const char* FLBGetName(uint32_t code) {
    return Frame<const char*>([&] { return theApp.m_catalogue.GetName(code); });
}

FLB_EXPORT int32_t FLBGetFavoriteFlag(uint32_t code) {
    return Frame<int32_t>([&] { return theApp.m_catalogue.GetFavorite(code); });
}

FLB_EXPORT const char* FLBGetFileName(uint32_t code) {
    return Frame<const char*>([&] { return theApp.m_catalogue.GetFileName(code, FALSE); });
}

FLB_EXPORT const char* FLBGetThumbnail(uint32_t code) {
    return Frame<const char*>([&] { return theApp.m_catalogue.GetFileName(code, TRUE); });
}

FLB_EXPORT const char* FLBGetURL(uint32_t code) {
    return Frame<const char*>([&] { return theApp.m_catalogue.GetURL(code); });
}

FLB_EXPORT int32_t FLBSetName(uint32_t code, const char* name) {
    return Frame<int32_t>([&]() -> int32_t {
        const std::string copy = Copy(name);
        return theApp.m_catalogue.SetName(code, copy.c_str());
    });
}

FLB_EXPORT int32_t FLBSetFavoriteFlag(uint32_t code, int32_t flag) {
    return Frame<int32_t>([&] { return theApp.m_catalogue.SetFavorite(code, flag); });
}

FLB_EXPORT int32_t FLBRemove(uint32_t code) {
    return Frame<int32_t>([&]() -> int32_t {
        if (RefuseWhileUpdating()) return 0;
        return theApp.m_catalogue.Remove(code);
    });
}
