// One request and its answer over HTTP: the form goes up as a POST body, the answer comes
// back whole, as text or as bytes, or chunk by chunk to a sink. Each failing step shows its
// own message (21000-21008).
#pragma once
#include <cstdint>
#include <memory>

#include "frame/Afx.h"
#include "frame/Exceptions.h"
#include "platform/Http.h"

// A failure of the internet layer itself, raised where a read breaks off.
class CInternetException : public CException {
public:
    CInternetException(DWORD error, std::string text) : m_dwError(error), m_strText(std::move(text)) {}
    bool GetErrorMessage(std::string& text) const override;
    DWORD m_dwError;
    std::string m_strText;
};

// Where an answer goes as it arrives, one chunk of at most kChunkSize bytes at a time.
// Whatever Take raises ends the exchange and leaves RequestData as it is.
class CAnswerSink {
public:
    virtual ~CAnswerSink() = default;
    // Before the first chunk: the length the answer declares, -1 when it declares none.
    virtual void Begin(int64_t declaredLength) { (void)declaredLength; }
    virtual void Take(const unsigned char* data, size_t size) = 0;
};

class CHttpRequest {
public:
    static constexpr DWORD kChunkSize = 102400;
    // More than any ad or list; a larger answer is refused rather than held in memory.
    static constexpr DWORD kMaxAnswerSize = 512u * 1024 * 1024;
    // Declared lengths up to this are taken at their word and allocated at once; beyond
    // it, an answer that never comes must not cost its whole length in memory.
    static constexpr int64_t kReserveLimit = 64 * 1024 * 1024;

    explicit CHttpRequest(const CString& url, const CString& referrer = CString());
    virtual ~CHttpRequest();
    CHttpRequest(const CHttpRequest&) = delete;
    CHttpRequest& operator=(const CHttpRequest&) = delete;

    // POSTs form (GET when form is NULL) and reads the whole answer into answer.
    // A failure inside the internet layer leaves as its exception.
    BOOL RequestText(LPCSTR form, CString& answer);
    // POSTs form (empty when NULL) and reads the answer into a block grown with realloc.
    // *data belongs to the caller, to free, as soon as it is not NULL, success or not.
    BOOL RequestData(LPCSTR form, unsigned char** data, DWORD* size);
    // POSTs form and hands the answer to `sink` as it arrives, so that no more than a
    // chunk of it is held here. FALSE when the transport failed (shown), the answer was
    // empty or went over the cap: the sink has then seen all or part of it.
    BOOL RequestData(LPCSTR form, CAnswerSink& sink);

    // For tests: a lower cap than kMaxAnswerSize.
    void SetAnswerLimit(DWORD limit) { m_nAnswerLimit = limit; }

private:
    enum : int32_t { kVerbPost = 0, kVerbGet = 1 };

    BOOL Connect();
    BOOL Send(LPCSTR form);
    BOOL ReadText(CString& answer);
    BOOL ReadData(CAnswerSink& sink);
    BOOL DeclaredLengthFits();
    DWORD ReadChunk();
    void CancelIfAborted();

    CString m_strURL;
    CString m_strReferrer;
    CString m_strHeaders;
    std::unique_ptr<platform::HttpSession> m_pSession;
    std::unique_ptr<platform::HttpConnection> m_pConnection;
    std::unique_ptr<platform::HttpFile> m_pFile;
    CString m_strServer;
    CString m_strObject;
    uint16_t m_nPort = 0;
    DWORD m_dwServiceType = 0;
    DWORD m_dwStatusCode = 0;
    DWORD m_nAnswerLimit = kMaxAnswerSize;
    DWORD m_nChunkLength = 0;
    int32_t m_nVerb = kVerbPost;
    const char* m_pszStep = "url";  // for the debug log: where the exchange got to
    char m_buffer[kChunkSize];
};
