// Messages as the system's modal boxes, owned by the calling thread's active window. A
// thread without one (the update worker) gets a topmost box, so that no window of the
// host's, nor the progress window, can stand over it.
#include "platform/MessageBox.h"

#include <windows.h>

#include "platform/win32/Wide.h"

namespace platform {

// The caption is the library's name, as the framework gives a library without a title.
// A string-table message is the library's own text; one without an id is the system's.
void PresentWithSystem(unsigned id, unsigned type, const std::string& text) {
    HWND owner = GetActiveWindow();
    const std::wstring wide = Widen(text, id ? kLibraryCodePage : CP_ACP);
    MessageBoxW(owner, wide.c_str(), L"Flyerbank", type | (owner ? 0 : MB_TOPMOST));
}

}  // namespace platform
