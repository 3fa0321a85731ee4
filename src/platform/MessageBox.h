// Modal message presentation. Tests replace the presenter to see which ids were shown.
#pragma once
#include <functional>
#include <string>

namespace platform {

enum : unsigned { kMbOk = 0x00, kMbIconHand = 0x10 };

// id and type of the message and its text in the library's code page (cp932).
using MessagePresenter = std::function<void(unsigned id, unsigned type, const std::string& text)>;

void PresentMessage(unsigned id, unsigned type, const std::string& text);
// Returns the previous presenter; an empty one restores the default.
MessagePresenter SetMessagePresenter(MessagePresenter presenter);

// The backend's own presentation, used while no presenter is set.
void PresentWithSystem(unsigned id, unsigned type, const std::string& text);

}  // namespace platform
