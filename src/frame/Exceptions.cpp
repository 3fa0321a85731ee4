#include "frame/Exceptions.h"

#include <cstdlib>
#include <cstring>

#include "frame/App.h"
#include "platform/MessageBox.h"
#include "platform/ThreadQueue.h"

namespace {
// The framework's text for an exception that carries none.
const char kNoErrorText[] = "No error message is available.";
constexpr unsigned kCancelMessage = 0x8001;  // WM_APP + 1
}  // namespace

bool CException::GetErrorMessage(std::string&) const { return false; }

void CException::ReportError(unsigned type) const {
    std::string text;
    if (!GetErrorMessage(text) || text.empty()) text = kNoErrorText;
    platform::PresentMessage(0, type, text);
}

bool CFileException::GetErrorMessage(std::string& text) const {
    text = "An error occurred while accessing " + (m_strFileName.empty() ? std::string("a file") : m_strFileName);
    if (m_lOsError) text += std::string(": ") + std::strerror(m_lOsError);
    text += ".";
    return true;
}

void AfxThrowUserException() { throw CUserException(); }
void AfxThrowMemoryException() { throw CMemoryException(); }

void* ReallocOrThrow(void* block, size_t size) {
    void* p = std::realloc(block, size);
    if (!p && size) AfxThrowMemoryException();
    return p;
}

void CheckCancel() {
    // Unwinding is not to be had while the library is being unloaded.
    if (platform::LibraryEnding()) platform::ParkForLibraryEnd();
    if (!theApp.IsUpdateRunning()) return;
    unsigned message = 0;
    if (!platform::PeekOwnThreadMessage(message)) return;
    if (message == kCancelMessage) throw CFLBException();
}
