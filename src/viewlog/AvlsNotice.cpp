#include "viewlog/AvlsNotice.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "frame/App.h"
#include "frame/Messages.h"
#include "net/HttpRequest.h"
#include "net/RegistryKey.h"
#include "res/StringTable.h"
#include "viewlog/LogSealer.h"

CAvlsNotice::CAvlsNotice(const char* userId, DWORD code, int32_t number, const char* text)
    : m_strValueName(LoadResString(IDS_VALUE_NOTIFY)),
      m_pszUserId(userId ? userId : ""),
      m_nCode(code),
      m_nNumber(number),
      m_pszText(text ? text : "") {
    // A missing value leaves the URL empty; the transport then reports it.
    ReadRegistryString(HKEY_CURRENT_USER, theApp.m_strRegistryKey.c_str(), m_strValueName.c_str(), m_strURL);
}

CString CAvlsNotice::FormatLine() const {
    char numbers[32];
    std::snprintf(numbers, sizeof numbers, ",%07u,%d,", static_cast<unsigned>(m_nCode), m_nNumber);
    return CString(m_pszUserId) + numbers + m_pszText;
}

BOOL CAvlsNotice::Send() {
    CString body = FormatLine();
    SealString(body);
    body.insert(0, "MSG=");

    unsigned char* data = nullptr;
    DWORD size = 0;
    BOOL sent;
    {
        CHttpRequest request(m_strURL);
        sent = request.RequestData(body.c_str(), &data, &size);
    }
    // The block is ours as soon as it exists, whether or not the exchange succeeded.
    std::unique_ptr<unsigned char, decltype(&std::free)> hold(data, &std::free);
    if (!sent) {
        ShowMessage(IDP_AVLS_COMM_ERROR);
        return FALSE;
    }
    CString answer(reinterpret_cast<const char*>(data), size);
    hold.reset();
    OpenString(answer);
    if (answer != "OK") {
        ShowMessage(IDP_AVLS_COMM_ERROR);
        return FALSE;
    }
    return TRUE;
}
