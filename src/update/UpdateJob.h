// The conversation with the ad server for one update: the list of ads the client is to
// hold, then one data request per ad that is missing or out of date.
#pragma once
#include <cstdint>
#include <vector>

#include "catalogue/AdRecord.h"
#include "frame/Afx.h"

class CUpdateJob {
public:
    // Modes of ParseField.
    enum : int { kDecimal = 0, kHex = 1, kText = 2 };

    // Reads the three server URLs; a value that cannot be read leaves its URL empty.
    CUpdateJob();
    virtual ~CUpdateJob();
    CUpdateJob(const CUpdateJob&) = delete;
    CUpdateJob& operator=(const CUpdateJob&) = delete;

    // Appends every listed ad to theApp's announced list, and those to fetch to `downloads`.
    void FetchList(std::vector<CAdRecord>& downloads, BOOL sendHeldCodes);
    // Fetches one ad, writes its file (or unpacks its cabinet) and updates the record.
    void FetchAd(CAdRecord& record);

    // The two answers as read once they have arrived; each raises on what it refuses.
    void ParseList(CString& answer, std::vector<CAdRecord>& downloads);
    // Takes the six lines of the data answer into the record; the payload's start.
    const unsigned char* ParseDataAnswer(CAdRecord& record);
    // All FetchAd does with a data answer, here with one already held whole in the answer
    // buffer: its lines into the record, then the payload into the ad's file, or its
    // cabinet unpacked. FetchAd itself hands the answer over chunk by chunk as it arrives;
    // here it goes in pieces of at most `piece` bytes.
    void TakeDataAnswer(CAdRecord& record, size_t piece = SIZE_MAX);
    // The longest name the job makes in the ad folder, with what it makes inside its
    // scratch folder.
    static size_t LongestNameInFolder();

    // The text before the first `separator`, which is cut off the text with it; the
    // whole text when there is none.
    static CString CutToken(CString& text, const char* separator);
    // The bytes from `cursor` to the next `separator` within the answer; the cursor moves
    // past it, or becomes NULL when there is none (and gives "" once NULL).
    CString CutLine(const unsigned char*& cursor, const char* separator) const;
    // "KEY:value" into target, by mode; a wrong key is a failure of the exchange.
    static void ParseField(const char* key, CString& line, void* target, int mode);

    void FreeAnswer();
    // Deletes the file of the last fetched ad's older version when the new one has another
    // name; the worker calls it once the record names the new file, so that a failure or a
    // crash before never leaves the stored record without its file.
    void DropReplacedFile();
    // Deletes what an update cut off by a crash left in `folder` (its scratch files and
    // folders); only while holding the folder's update lock, so no running update's.
    static void RemoveLeftovers(const CString& folder);

    // For tests: the answer a data request would have left.
    void SetAnswer(unsigned char* data, DWORD size) {
        FreeAnswer();
        m_pAnswer = data;
        m_nAnswerSize = size;
    }

    CString m_strListURL;
    CString m_strList2URL;
    CString m_strDataURL;
    CString m_strListName;
    CString m_strList2Name;
    CString m_strDataName;
    unsigned char* m_pAnswer = nullptr;
    DWORD m_nAnswerSize = 0;
    CString m_strReplacedFile;  // see DropReplacedFile

private:
    class Payload;
    CString ListForm(BOOL sendHeldCodes) const;
    void UnpackCabinet(CAdRecord& record, const CString& cabinetPath);
};
