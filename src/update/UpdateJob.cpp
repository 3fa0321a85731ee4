#include "update/UpdateJob.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frame/App.h"
#include "frame/Exceptions.h"
#include "frame/Messages.h"
#include "net/HttpRequest.h"
#include "net/RegistryKey.h"
#include "platform/DebugLog.h"
#include "platform/Files.h"
#include "res/StringTable.h"
#include "update/Cabinet.h"

namespace {

constexpr int kListAttempts = 10;
constexpr uint32_t kListPauseMs = 100;
constexpr size_t kCodeDigits = 7;
constexpr char kPartSuffix[] = ".part";
constexpr char kUnpackSuffix[] = ".unpack";
constexpr size_t kLongestListExtension = 3;  // of AdTypeOfExtension's table

CString Trim(const CString& text) {
    auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    size_t b = 0, e = text.size();
    while (b < e && blank(text[b])) ++b;
    while (e > b && blank(text[e - 1])) --e;
    return text.substr(b, e - b);
}

// Reads a list item's code as "%07u" reads it: white space skipped, then the digits up
// to the first other byte. More than seven digits would be cut to another ad's code, so
// they read as no code at all (0), as does a code without digits.
DWORD ListCode(const CString& text) {
    size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    DWORD code = 0;
    size_t digits = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
        if (digits == kCodeDigits) return 0;
        code = code * 10 + static_cast<DWORD>(text[at] - '0');
    }
    return code;
}

CString Code7(DWORD code) {
    char text[16];
    std::snprintf(text, sizeof text, "%07u", static_cast<unsigned>(code));
    return text;
}

bool EqualsNoCase(const CString& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The extension of a path from its last dot on, the dot included; "" when it has none.
CString ExtensionOf(const CString& path) {
    const size_t sep = FindLastSingleByte(path, platform::kPathSeparator);
    const size_t dot = path.rfind('.');
    if (dot == CString::npos || (sep != CString::npos && dot < sep)) return CString();
    return path.substr(dot);
}

// Removes a scratch file when the step that made it does not finish.
class ScratchFile {
public:
    explicit ScratchFile(CString path) : m_path(std::move(path)) {}
    ~ScratchFile() {
        if (!m_path.empty()) platform::RemoveFile(m_path);
    }
    const CString& Path() const { return m_path; }
    void Keep() { m_path.clear(); }

private:
    CString m_path;
};

// For the debug log: each step on an ad's files, with the system's error when it failed.
bool Logged(bool ok, const char* step, const CString& path, int osError = 0) {
    std::string line = std::string("file\tstep=") + step + "\tpath=" + path + (ok ? "\tok" : "\tfailed");
    if (!ok && osError) line += "\tos_error=" + std::to_string(osError);
    platform::DebugLog(line);
    return ok;
}

// Renames a finished file over the ad's, whose read-only attribute would stop it.
bool MoveOver(const CString& from, const CString& to) {
    if (platform::Exists(to)) platform::MakeReadWrite(to);
    return Logged(platform::RenameFile(from, to), "rename", to);
}

// Arrival time and size of the file that File names, which is what the next update
// compares with the file it finds.
void TakeFileStatus(CAdRecord& record) {
    platform::FileStatus status;
    if (platform::GetFileStatus(record.File, status)) {
        record.CreationTime = status.creationTime;
        record.Size = static_cast<int32_t>(status.size);
    }
}

}  // namespace

// The data answer as it arrives: its six lines gather in the job's answer buffer, then the
// payload goes straight to its scratch file, so memory does not grow with the ad. A plain
// ad's payload goes to a scratch name and replaces the ad's file only once it is complete,
// so a held ad stays whole until its new version has arrived; a cabinet goes to a scratch
// folder of its own, so its members can neither replace other files of the ad folder nor
// stay behind when it is refused.
class CUpdateJob::Payload : public CAnswerSink {
public:
    Payload(CUpdateJob& job, CAdRecord& record) : m_job(job), m_record(record) {}
    ~Payload() override {
        m_file.Close(false);
        if (m_folderMade) platform::RemoveFolderAndFiles(m_scratchFolder);
    }

    void Take(const unsigned char* data, size_t size) override {
        if (m_linesDone) return Write(data, size);
        m_job.m_pAnswer = static_cast<unsigned char*>(ReallocOrThrow(m_job.m_pAnswer, m_job.m_nAnswerSize + size));
        std::memcpy(m_job.m_pAnswer + m_job.m_nAnswerSize, data, size);
        m_job.m_nAnswerSize += static_cast<DWORD>(size);
        const unsigned char* answer = m_job.m_pAnswer;
        size_t at = m_scanFrom;
        for (; at + 1 < m_job.m_nAnswerSize && m_linesSeen < kLines; ++at)
            if (answer[at] == '\r' && answer[at + 1] == '\n') ++m_linesSeen, ++at;
        m_scanFrom = at;
        if (m_linesSeen == kLines) return TakeLines();
        // Lines this long are no answer of an ad server; they are refused as they stand.
        if (m_job.m_nAnswerSize > kLongestLines) Refuse();
    }

    // The answer is over: lines that never ended are refused as they stand; the payload
    // replaces the ad's file, or is unpacked.
    void Finish() {
        if (!m_linesDone) Refuse();
        if (!Logged(m_file.Close(!m_record.Cabinet), "write", m_path, m_file.OsError()))
            ShowMessageAndThrow(IDP_AD_FILE_SAVE);
        if (m_record.Cabinet) return m_job.UnpackCabinet(m_record, m_path);
        // The last cancel check before the store: once the file is in place only the store
        // may follow, or it would stay there with no record.
        CheckCancel();
        if (!MoveOver(m_path, m_record.File)) ShowMessageAndThrow(IDP_AD_FILE_SAVE);
        m_scratch->Keep();
        TakeFileStatus(m_record);
    }

private:
    static constexpr int kLines = 6;
    static constexpr DWORD kLongestLines = 1024 * 1024;

    [[noreturn]] void Refuse() {
        m_job.ParseDataAnswer(m_record);  // says what is wrong with them, as for a whole answer
        ShowMessageAndThrow(IDP_ADS_COMM_ERROR);
    }

    // Nothing is written before the lines have said the answer is the ad's.
    void TakeLines() {
        const unsigned char* payload = m_job.ParseDataAnswer(m_record);
        const DWORD linesEnd = static_cast<DWORD>(payload - m_job.m_pAnswer);
        m_linesDone = true;
        const CString code = Code7(m_record.ID);
        if (m_record.Cabinet) {
            m_scratchFolder = theApp.m_strFolder + code + kUnpackSuffix;
            platform::RemoveFolderAndFiles(m_scratchFolder);  // left by an update that was cut off
            if (!Logged(platform::MakeDirectory(m_scratchFolder), "mkdir", m_scratchFolder))
                ShowMessageAndThrow(IDP_AD_FILE_SAVE);
            m_folderMade = true;
            m_path = m_scratchFolder + platform::kPathSeparator + code + ".cab";
        } else {
            m_path = theApp.m_strFolder + code + kPartSuffix;
            m_scratch = std::make_unique<ScratchFile>(m_path);
        }
        if (!m_file.Open(m_path)) {
            Logged(false, "write", m_path, m_file.OsError());
            ShowMessageAndThrow(IDP_AD_FILE_SAVE);
        }
        Write(payload, m_job.m_nAnswerSize - linesEnd);
        m_job.m_nAnswerSize = linesEnd;
    }

    void Write(const unsigned char* data, size_t size) {
        if (m_file.Write(data, size)) return;
        Logged(false, "write", m_path, m_file.OsError());
        ShowMessageAndThrow(IDP_AD_FILE_SAVE);
    }

    CUpdateJob& m_job;
    CAdRecord& m_record;
    bool m_linesDone = false;
    int m_linesSeen = 0;
    size_t m_scanFrom = 0;
    CString m_path;
    std::unique_ptr<ScratchFile> m_scratch;
    CString m_scratchFolder;
    bool m_folderMade = false;
    platform::FileWriter m_file;  // last, so it is closed before its scratch goes
};

CUpdateJob::CUpdateJob()
    : m_strListName(LoadResString(IDS_VALUE_LIST)),
      m_strList2Name(LoadResString(IDS_VALUE_LIST2)),
      m_strDataName(LoadResString(IDS_VALUE_DATA)) {
    const char* key = theApp.m_strRegistryKey.c_str();
    ReadRegistryString(HKEY_CURRENT_USER, key, m_strListName.c_str(), m_strListURL);
    ReadRegistryString(HKEY_CURRENT_USER, key, m_strList2Name.c_str(), m_strList2URL);
    ReadRegistryString(HKEY_CURRENT_USER, key, m_strDataName.c_str(), m_strDataURL);
}

CUpdateJob::~CUpdateJob() { FreeAnswer(); }

void CUpdateJob::FreeAnswer() {
    std::free(m_pAnswer);
    m_pAnswer = nullptr;
    m_nAnswerSize = 0;
}

CString CUpdateJob::CutToken(CString& text, const char* separator) {
    const size_t at = text.find(separator);
    if (at == CString::npos) {
        CString whole;
        whole.swap(text);
        return whole;
    }
    CString token = text.substr(0, at);
    text.erase(0, at + std::strlen(separator));
    return token;
}

CString CUpdateJob::CutLine(const unsigned char*& cursor, const char* separator) const {
    if (!cursor || !m_pAnswer) {
        cursor = nullptr;
        return CString();
    }
    const unsigned char* end = m_pAnswer + m_nAnswerSize;
    const size_t sepLength = std::strlen(separator);
    const unsigned char* start = cursor;
    for (const unsigned char* p = start; sepLength && static_cast<size_t>(end - p) >= sepLength; ++p) {
        if (std::memcmp(p, separator, sepLength) == 0) {
            cursor = p + sepLength;
            return CString(reinterpret_cast<const char*>(start), static_cast<size_t>(p - start));
        }
    }
    cursor = nullptr;
    return CString(reinterpret_cast<const char*>(start), static_cast<size_t>(end - start));
}

void CUpdateJob::ParseField(const char* key, CString& line, void* target, int mode) {
    if (key && CutToken(line, ":") != key) ShowMessageAndThrow(IDP_ADS_COMM_ERROR);
    switch (mode) {
        case kDecimal: {
            int value;
            // No digits leave the target as it was.
            if (std::sscanf(line.c_str(), "%d", &value) == 1) *static_cast<int32_t*>(target) = value;
            break;
        }
        case kHex: {
            unsigned value;
            if (std::sscanf(line.c_str(), "%X", &value) == 1) *static_cast<uint32_t*>(target) = value;
            break;
        }
        case kText:
            *static_cast<CString*>(target) = line;
            break;
        default:
            ShowMessageAndThrow(IDP_INTERNAL_ERROR);
    }
}

CString CUpdateJob::ListForm(BOOL sendHeldCodes) const {
    CString form;
    if (!sendHeldCodes) return "CLNT_VER=" + theApp.m_strClientVersion + "&USER_ID=" + theApp.m_szUserId;
    form = CString("USER_ID=") + theApp.m_szUserId + "&CONTS_CODE_LIST=";
    bool first = true;
    theApp.m_catalogue.ForEach([&](DWORD code, const CAdRecord&) {
        if (!first) form += ',';
        form += Code7(code);
        first = false;
    });
    return form;
}

void CUpdateJob::FetchList(std::vector<CAdRecord>& downloads, BOOL sendHeldCodes) {
    const CString form = ListForm(sendHeldCodes);
    const CString& url = sendHeldCodes ? m_strList2URL : m_strListURL;
    CheckCancel();

    CString answer;
    for (int attempt = 0; attempt < kListAttempts && answer.empty(); ++attempt) {
        platform::SleepMilliseconds(kListPauseMs);
        CHttpRequest request(url);
        if (!request.RequestText(form.c_str(), answer)) ShowMessageAndThrow(IDP_ADS_COMM_ERROR);
        CheckCancel();
        if (!answer.empty() && answer[0] == '\n') answer.erase(0, 1);
    }
    ParseList(answer, downloads);
}

void CUpdateJob::ParseList(CString& answer, std::vector<CAdRecord>& downloads) {
    if (Trim(CutToken(answer, ":")) != "RESULT") ShowMessageAndThrow(IDP_ADS_COMM_ERROR);
    const int result = std::atoi(Trim(CutToken(answer, "\n")).c_str());
    if (result != 0) throw CADSException(result);

    // The items are cut from a moving start: cutting each off the front would move the
    // rest of the answer every time, which a long list makes quadratic.
    size_t at = 0;
    auto cut = [&](char separator) {
        const size_t end = std::min(answer.find(separator, at), answer.size());
        CString token = answer.substr(at, end - at);
        at = std::min(end + 1, answer.size());
        return token;
    };
    const CString& folder = theApp.m_strFolder;
    while (at < answer.size()) {
        CAdRecord record;
        const CString code = cut('.');
        if (code.size() < kCodeDigits) break;  // an empty or short line ends the list
        record.ID = ListCode(code);
        if (record.ID == 0) ShowMessageAndThrow(IDP_ADS_COMM_ERROR);

        CheckCancel();
        const bool held = theApp.m_catalogue.Lookup(record.ID, record) != FALSE;

        CheckCancel();
        const CString extension = cut('\n');
        // A NUL would end the extension for its type but not for the file name built from it.
        const int32_t type =
            extension.find('\0') == CString::npos ? AdTypeOfExtension(extension.c_str()) : AD_TYPE_NONE;
        if (type == AD_TYPE_NONE) ShowMessageAndThrow(IDP_ADS_COMM_ERROR);
        record.Type = type;

        CheckCancel();
        record.Cabinet = EqualsNoCase(extension, "cab") ? 1 : 0;

        CheckCancel();
        // A file name from the catalogue file is outside data: it may only name a file
        // of the ad folder, or the download would write wherever it points.
        if (!record.File.empty() && !platform::IsDirectlyInside(record.File, folder)) record.File.clear();
        if (record.File.empty()) record.File = folder + Code7(record.ID) + "." + extension;

        CheckCancel();
        platform::FileStatus status;
        const uint64_t current = platform::GetFileStatus(record.File, status) ? status.size : 0;
        const bool upToDate = held && platform::Exists(record.File) && record.Size != 0 &&
                              static_cast<uint64_t>(static_cast<uint32_t>(record.Size)) == current;
        if (!upToDate) downloads.push_back(record);

        CheckCancel();
        theApp.m_announcedAds.push_back(record);
        CheckCancel();
    }
    answer.erase(0, at);
}

void CUpdateJob::FetchAd(CAdRecord& record) {
    m_strReplacedFile.clear();
    const CString form = "CONTS_CODE=" + Code7(record.ID);
    CHttpRequest request(m_strDataURL);
    FreeAnswer();
    {
        Payload payload(*this, record);
        if (!request.RequestData(form.c_str(), payload)) ShowMessageAndThrow(IDP_ADS_COMM_ERROR);
        payload.Finish();
    }
    FreeAnswer();
}

void CUpdateJob::TakeDataAnswer(CAdRecord& record, size_t piece) {
    std::unique_ptr<unsigned char, void (*)(void*)> whole(m_pAnswer, std::free);
    const DWORD size = m_nAnswerSize;
    m_pAnswer = nullptr;
    m_nAnswerSize = 0;
    Payload payload(*this, record);
    piece = std::max<size_t>(piece, 1);
    for (size_t at = 0; at < size; at += std::min(piece, size - at))
        payload.Take(whole.get() + at, std::min(piece, size - at));
    payload.Finish();
}

size_t CUpdateJob::LongestNameInFolder() {
    const size_t code = kCodeDigits;
    const size_t scratchFolder = code + std::strlen(kUnpackSuffix) + 1;
    return std::max({code + std::strlen(kPartSuffix), code + 1 + kLongestListExtension,
                     scratchFolder + code + std::strlen(".cab"), scratchFolder + code + 1 + kLongestMovieExtension});
}

void CUpdateJob::DropReplacedFile() {
    if (m_strReplacedFile.empty()) return;
    platform::MakeReadWrite(m_strReplacedFile);
    platform::RemoveFile(m_strReplacedFile);
    m_strReplacedFile.clear();
}

void CUpdateJob::RemoveLeftovers(const CString& folder) {
    for (const std::string& name : platform::FolderNames(folder)) {
        // The names WritePayload and UnpackCabinet give their scratch: the code, then ".part"
        // for a file or ".unpack" for a folder.
        const size_t dot = name.find('.');
        if (dot != kCodeDigits || !std::all_of(name.begin(), name.begin() + dot, [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        const CString path = folder + name;
        const CString kind = name.substr(dot);
        if (kind == ".part" && !platform::IsDirectory(path)) platform::RemoveFile(path);
        else if (kind == ".unpack" && platform::IsDirectory(path) && platform::IsDirectlyInside(path, folder))
            platform::RemoveFolderAndFiles(path);
    }
}

const unsigned char* CUpdateJob::ParseDataAnswer(CAdRecord& record) {
    const unsigned char* cursor = m_pAnswer;
    CString lines[6];
    for (CString& line : lines) line = CutLine(cursor, "\r\n");

    int32_t ignored = 0;
    ParseField(nullptr, lines[0], &ignored, kDecimal);
    int32_t result = 0;
    ParseField("RESULT", lines[1], &result, kDecimal);
    if (result != 0) throw CADSException(result);
    int32_t code = 0;
    ParseField("CONTS_CODE", lines[2], &code, kDecimal);
    ParseField("CONTS_NAME", lines[3], &record.Name, kText);
    ParseField("PRIORITY", lines[4], &record.Priority, kDecimal);
    ParseField("JUMPHTTP", lines[5], &record.URL, kText);
    record.URL = LinkToKeep(record.URL);
    if (static_cast<DWORD>(code) != record.ID) ShowMessageAndThrow(IDP_ADS_COMM_ERROR);
    // Without the sixth line's end there is no payload; an ad without a file is no ad.
    if (!cursor) ShowMessageAndThrow(IDP_ADS_COMM_ERROR);
    return cursor;
}

void CUpdateJob::UnpackCabinet(CAdRecord& record, const CString& cabinetPath) {
    const CString folder = theApp.m_strFolder;
    const CString code = Code7(record.ID);
    // One movie and one thumbnail: two of either kind would leave the ad without its
    // file, or leave a file that no record owns. Each is unpacked under the name it is
    // to have, so the server's names make no path longer than the folder allows.
    auto isThumbnail = [](const CString& path) { return EqualsNoCase(ExtensionOf(path), ".jpg"); };
    auto naming = [&](const std::vector<CString>& stored, std::vector<CString>& chosen) {
        if (stored.size() != 2 || isThumbnail(stored[0]) == isThumbnail(stored[1])) return false;
        for (const CString& name : stored) {
            const CString extension = isThumbnail(name) ? CString(".jpg") : ExtensionOf(name);
            if (!isThumbnail(name) && !IsMovieFileExtension(extension.c_str() + (extension.empty() ? 0 : 1)))
                return false;
            chosen.push_back(code + extension);
        }
        return true;
    };
    std::vector<CString> names;
    {
        CCabinet cabinet;
        if (!cabinet.Extract(cabinetPath.c_str(), &names, naming)) ShowMessageAndThrow(IDP_ADS_COMM_ERROR);
    }
    platform::RemoveFile(cabinetPath);
    // A cancel during the unpack ends here, with the members still in the scratch folder
    // that goes with the payload; from the first move on only the store may follow.
    CheckCancel();

    CString movie;
    std::vector<CString> placed;
    for (const CString& path : names) {
        const CString target = folder + code + ExtensionOf(path);
        if (!MoveOver(path, target)) ShowMessageAndThrow(IDP_AD_FILE_SAVE);
        placed.push_back(target);
        if (!isThumbnail(path)) movie = target;
    }
    // A movie that changed its extension would leave the old one to no record at all;
    // it goes once the catalogue names the new one.
    const CString old = record.File;
    if (std::find(placed.begin(), placed.end(), old) == placed.end() && platform::IsDirectlyInside(old, folder))
        m_strReplacedFile = old;
    record.File = movie;

    TakeFileStatus(record);
}
