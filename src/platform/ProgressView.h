// The progress window of an update: a line of text over a bar, shown above other windows
// while ads download. Operations may come from any thread; the timer ticks on the view's
// own thread, as a window's timer runs on the window's thread.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

class ProgressView {
public:
    virtual ~ProgressView() = default;
    virtual void ShowTopmost() = 0;
    virtual void Hide() = 0;  // harmless when hidden already
    virtual bool IsVisible() const = 0;
    virtual void SetText(const std::string& text) = 0;  // code page 932 bytes
    virtual std::string Text() const = 0;
    // The bar's upper bound travels as 16 bits, as the system's bar control takes it.
    virtual void SetRange(uint16_t upper) = 0;
    virtual uint16_t Range() const = 0;
    virtual void SetPos(int32_t pos) = 0;
    virtual int32_t Pos() const = 0;
    // Replaces any timer of the same id; tick runs on the view's thread.
    virtual void SetTimer(unsigned id, unsigned periodMs, std::function<void()> tick) = 0;
    virtual void KillTimer(unsigned id) = 0;
    // The cancel command (Esc, or closing the window) lands here.
    virtual void SetCancelHandler(std::function<void()> onCancel) = 0;
    // Runs the cancel command as the user would.
    virtual void Cancel() = 0;
};

// Created hidden, owned by the root owner of `ownerWindow`. Null when no window can be made.
std::unique_ptr<ProgressView> CreateProgressView(void* ownerWindow);

}  // namespace platform
