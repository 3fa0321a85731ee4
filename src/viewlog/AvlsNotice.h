// One view report to the log server: the line "user,code,number,text", sealed, posted as
// the form field MSG; confirmed only by the sealed answer "OK".
#pragma once
#include <cstdint>

#include "frame/Afx.h"

class CAvlsNotice {
public:
    // Borrows userId and text; reads the log server's URL from the registry afresh.
    CAvlsNotice(const char* userId, DWORD code, int32_t number, const char* text);
    virtual ~CAvlsNotice() = default;
    CAvlsNotice(const CAvlsNotice&) = delete;
    CAvlsNotice& operator=(const CAvlsNotice&) = delete;

    // Shows 20001 (after the transport's own message, if any) when the report is not confirmed.
    BOOL Send();

    // The line as it goes out before sealing.
    CString FormatLine() const;

    CString m_strURL;
    CString m_strValueName;
    const char* m_pszUserId;
    DWORD m_nCode;
    int32_t m_nNumber;
    const char* m_pszText;
};
