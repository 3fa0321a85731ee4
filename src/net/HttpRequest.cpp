#include "net/HttpRequest.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "frame/Messages.h"
#include "platform/DebugLog.h"

namespace {
const char kAgent[] = "Tidewell";
const char kHeaders[] =
    "Accept: */*\r\n"
    "User-Agent: Tidewell\r\n"
    "Content-Type: application/x-www-form-urlencoded\r\n";
}  // namespace

bool CInternetException::GetErrorMessage(std::string& text) const {
    text = "Internet error " + std::to_string(m_dwError);
    if (!m_strText.empty()) text += ": " + m_strText;
    return true;
}

CHttpRequest::CHttpRequest(const CString& url, const CString& referrer)
    : m_strURL(url), m_strReferrer(referrer), m_strHeaders(kHeaders) {}

CHttpRequest::~CHttpRequest() {
    // The step reached says where an exchange stopped; the layer's error says why.
    std::string line = std::string("http\tverb=") + (m_nVerb == kVerbGet ? "GET" : "POST") + "\turl=" + m_strURL +
                       "\tstep=" + m_pszStep + "\tstatus=" + std::to_string(m_dwStatusCode);
    if (m_pFile && m_pFile->ErrorCode()) line += "\terror=" + std::to_string(m_pFile->ErrorCode()) + "\ttext=" + m_pFile->ErrorText();
    platform::DebugLog(line);
    // Request, connection, session: each needs the one after it while it closes.
    if (m_pFile) m_pFile->Close();
    m_pFile.reset();
    if (m_pConnection) m_pConnection->Close();
    m_pConnection.reset();
    if (m_pSession) m_pSession->Close();
    m_pSession.reset();
}

BOOL CHttpRequest::RequestText(LPCSTR form, CString& answer) {
    m_nVerb = form ? kVerbPost : kVerbGet;
    try {
        if (!Connect()) return FALSE;
        CheckCancel();
        if (!Send(form)) return FALSE;
        CheckCancel();
        if (!ReadText(answer)) return FALSE;
        CheckCancel();
        m_pszStep = "done";
        return TRUE;
    } catch (const CException&) {
        // A waiting cancel request wins over the failure.
        CheckCancel();
        throw;
    } catch (const std::bad_alloc&) {
        CheckCancel();
        throw;
    }
}

namespace {

// An answer of a declared length up to kReserveLimit gets its buffer in one piece; one of
// no length, or a larger one, grows by doubling, up to the declared length once that is in
// reach. A reallocation to each new total copies the whole answer once a chunk, which the
// system allocator on Windows really does (some 400 ms for 5 MB, against 30 ms doubling),
// and holds old and new copy at once.
class BlockSink : public CAnswerSink {
public:
    BlockSink(unsigned char** data, DWORD* size) : m_data(data), m_size(size) {}
    void Begin(int64_t declared) override { m_declared = declared; }
    void Take(const unsigned char* chunk, size_t length) override {
        const size_t needed = static_cast<size_t>(*m_size) + length;
        if (needed > m_capacity) {
            size_t grown = std::max(needed, m_capacity * 2);
            if (m_capacity == 0 && m_declared > 0 && m_declared <= CHttpRequest::kReserveLimit)
                grown = std::max(grown, static_cast<size_t>(m_declared));
            if (m_declared >= static_cast<int64_t>(needed)) grown = std::min(grown, static_cast<size_t>(m_declared));
            *m_data = static_cast<unsigned char*>(ReallocOrThrow(*m_data, grown));
            m_capacity = grown;
        }
        std::memcpy(*m_data + *m_size, chunk, length);
        *m_size += static_cast<DWORD>(length);
    }

private:
    unsigned char** m_data;
    DWORD* m_size;
    int64_t m_declared = -1;
    size_t m_capacity = 0;
};

}  // namespace

BOOL CHttpRequest::RequestData(LPCSTR form, unsigned char** data, DWORD* size) {
    *data = nullptr;
    *size = 0;
    BlockSink block(data, size);
    try {
        return RequestData(form, block);
    } catch (const CFLBException&) {
        throw;
    } catch (const CException&) {
        CheckCancel();
        return FALSE;
    } catch (const std::bad_alloc&) {
        CheckCancel();
        return FALSE;
    }
}

BOOL CHttpRequest::RequestData(LPCSTR form, CAnswerSink& sink) {
    m_nVerb = kVerbPost;
    try {
        if (!Connect()) return FALSE;
        CheckCancel();
        if (!Send(form)) return FALSE;
        CheckCancel();
        if (!ReadData(sink)) return FALSE;
        CheckCancel();
        m_pszStep = "done";
        return TRUE;
    } catch (const CInternetException&) {
        CheckCancel();
        return FALSE;
    }
}

BOOL CHttpRequest::Connect() {
    platform::UrlParts parts;
    if (!platform::ParseUrl(m_strURL, parts)) {
        ShowMessage(IDP_URL_PARSE);
        return FALSE;
    }
    m_dwServiceType = parts.service;
    m_strServer = parts.server;
    m_strObject = parts.object;
    m_nPort = parts.port;
    if (m_dwServiceType != platform::kInetServiceHttp) {
        ShowMessage(IDP_NOT_HTTP);
        return FALSE;
    }
    m_pszStep = "connect";
    m_pSession = platform::OpenHttpSession(kAgent);
    if (!m_pSession) {
        ShowMessage(IDP_SESSION_CREATE);
        return FALSE;
    }
    m_pConnection = m_pSession->Connect(m_strServer, m_nPort);
    if (!m_pConnection) {
        ShowMessage(IDP_HTTP_CONNECT);
        return FALSE;
    }
    m_pFile = m_pConnection->OpenRequest(m_nVerb == kVerbGet ? "GET" : "POST", m_strObject, m_strReferrer);
    if (!m_pFile) {
        ShowMessage(IDP_HTTP_OPEN);
        return FALSE;
    }
    return TRUE;
}

// A step that failed because the cancel ended it is the cancel, not a failure to report.
void CHttpRequest::CancelIfAborted() {
    if (m_pFile && m_pFile->Aborted()) CheckCancel();
}

BOOL CHttpRequest::Send(LPCSTR form) {
    m_pszStep = "send";
    if (!m_pFile->Send(m_strHeaders, form, form ? std::strlen(form) : 0)) {
        CancelIfAborted();
        ShowMessage(IDP_SEND_REQUEST);
        return FALSE;
    }
    if (!m_pFile->QueryStatusCode(m_dwStatusCode)) {
        CancelIfAborted();
        ShowMessage(IDP_QUERY_STATUS);
        return FALSE;
    }
    if (m_dwStatusCode / 100 != 2) {
        ShowMessage(IDP_BAD_STATUS);
        return FALSE;
    }
    m_pszStep = "read";
    return TRUE;
}

// An answer that announces more than the cap is refused before a byte of it is read.
BOOL CHttpRequest::DeclaredLengthFits() {
    if (m_pFile->ContentLength() <= static_cast<int64_t>(m_nAnswerLimit)) return TRUE;
    ShowMessage(IDP_RECEIVE);
    return FALSE;
}

DWORD CHttpRequest::ReadChunk() {
    int64_t n = m_pFile->Read(m_buffer, kChunkSize);
    if (n < 0) throw CInternetException(m_pFile->ErrorCode(), m_pFile->ErrorText());
    return static_cast<DWORD>(n);
}

BOOL CHttpRequest::ReadText(CString& answer) {
    answer.clear();
    if (!DeclaredLengthFits()) return FALSE;
    while ((m_nChunkLength = ReadChunk()) != 0) {
        if (m_nChunkLength > m_nAnswerLimit - answer.size()) {
            ShowMessage(IDP_RECEIVE);
            return FALSE;
        }
        answer.append(m_buffer, m_nChunkLength);
        CheckCancel();
    }
    if (answer.empty()) {
        ShowMessage(IDP_RECEIVE);
        return FALSE;
    }
    return TRUE;
}

// The cap counts every byte that arrives, whatever the answer declared; one that declares
// more is refused before its first byte.
BOOL CHttpRequest::ReadData(CAnswerSink& sink) {
    if (!DeclaredLengthFits()) return FALSE;
    sink.Begin(m_pFile->ContentLength());
    DWORD total = 0;
    while ((m_nChunkLength = ReadChunk()) != 0) {
        if (m_nChunkLength > m_nAnswerLimit - total) {
            ShowMessage(IDP_RECEIVE);
            return FALSE;
        }
        total += m_nChunkLength;
        sink.Take(reinterpret_cast<const unsigned char*>(m_buffer), m_nChunkLength);
        CheckCancel();
    }
    if (total == 0) {
        ShowMessage(IDP_RECEIVE);
        return FALSE;
    }
    return TRUE;
}
