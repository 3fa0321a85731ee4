// Messages as the system's modal boxes, owned by the calling thread's active window.
#include "platform/MessageBox.h"

#include <windows.h>

namespace platform {

// The caption is the library's name, as the framework gives a library without a title.
void PresentWithSystem(unsigned, unsigned type, const std::string& text) {
    MessageBoxA(GetActiveWindow(), text.c_str(), "Flyerbank", type);
}

}  // namespace platform
