// Messages as the system's modal boxes, owned by the calling thread's active window. A
// thread without one (the update worker) gets a topmost box, so that no window of the
// host's, nor the progress window, can stand over it.
#include "platform/MessageBox.h"

#include <windows.h>

namespace platform {

// The caption is the library's name, as the framework gives a library without a title.
void PresentWithSystem(unsigned, unsigned type, const std::string& text) {
    HWND owner = GetActiveWindow();
    MessageBoxA(owner, text.c_str(), "Flyerbank", type | (owner ? 0 : MB_TOPMOST));
}

}  // namespace platform
