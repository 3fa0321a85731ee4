// The progress window as one line on a terminal: the status text and a bar, redrawn in
// place. When standard error is no terminal the view keeps its state and draws nothing.
#include "platform/ProgressView.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/posix/ProgressLine.h"
#include "platform/posix/Text.h"

namespace platform {

std::string ProgressLine(const std::string& text, int32_t pos, uint16_t range, int columns) {
    constexpr int kFullBar = 30;
    const int percent = range ? static_cast<int>(int64_t{pos} * 100 / range) : 0;
    char tail[16];
    std::snprintf(tail, sizeof tail, "] %3d%%", percent);
    const int room = columns - 1;
    const int fixed = static_cast<int>(std::strlen(tail)) + 1;  // "[" and the tail
    int bar = std::max(0, std::min(kFullBar, room - fixed));
    if (bar == 0) return room >= 4 ? std::string(tail + 2) : std::string();

    // Whole characters only: a lead byte of code page 932 takes its trail byte along.
    std::string shown;
    const int textRoom = room - fixed - bar - 1;  // and the blank before the bar
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) && i + 1 < text.size() ? 2 : 1;
        if (static_cast<int>(shown.size() + n) > textRoom) break;
        for (size_t k = 0; k < n; ++k) shown += text[i + k] == '\n' || text[i + k] == '\r' ? ' ' : text[i + k];
        i += n;
    }
    const int filled = range ? static_cast<int>(int64_t{pos} * bar / range) : 0;
    std::string line = shown.empty() ? "" : shown + " ";
    line += "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(bar - filled), '.');
    return line + tail;
}

namespace {

// Read at each redraw, so a resized terminal (SIGWINCH) is followed on the next one
// without taking the host's signal.
int TerminalColumns() {
    struct winsize size {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

using Clock = std::chrono::steady_clock;

class TerminalProgressView final : public ProgressView {
public:
    TerminalProgressView() : m_draw(isatty(STDERR_FILENO) == 1) {}
    ~TerminalProgressView() override {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_stopping = true;
            m_timers.clear();
        }
        m_wake.notify_all();
        if (m_ticker.joinable()) m_ticker.join();
        Hide();
    }

    void ShowTopmost() override {
        std::lock_guard<std::mutex> hold(m_lock);
        m_visible = true;
        DrawLocked();
    }
    void Hide() override {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_visible && m_draw) {
            std::fputs("\r\033[K", stderr);
            std::fflush(stderr);
        }
        m_visible = false;
    }
    bool IsVisible() const override {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_visible;
    }
    void SetText(const std::string& text) override {
        std::lock_guard<std::mutex> hold(m_lock);
        m_text = text;
        DrawLocked();
    }
    std::string Text() const override {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_text;
    }
    void SetRange(uint16_t upper) override {
        std::lock_guard<std::mutex> hold(m_lock);
        m_range = upper;
        DrawLocked();
    }
    uint16_t Range() const override {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_range;
    }
    void SetPos(int32_t pos) override {
        std::lock_guard<std::mutex> hold(m_lock);
        // A bar control keeps its position within its range.
        m_pos = pos < 0 ? 0 : pos > m_range ? m_range : pos;
        DrawLocked();
    }
    int32_t Pos() const override {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_pos;
    }

    void SetTimer(unsigned id, unsigned periodMs, std::function<void()> tick) override {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_stopping) return;
            const auto period = std::chrono::milliseconds(periodMs ? periodMs : 1);
            m_timers[id] = Timer{period, Clock::now() + period, std::move(tick)};
            if (!m_ticker.joinable()) m_ticker = std::thread([this] { Tick(); });
        }
        m_wake.notify_all();
    }
    void KillTimer(unsigned id) override {
        std::lock_guard<std::mutex> hold(m_lock);
        m_timers.erase(id);
    }

    void SetCancelHandler(std::function<void()> onCancel) override {
        std::lock_guard<std::mutex> hold(m_lock);
        m_onCancel = std::move(onCancel);
    }
    void Cancel() override {
        std::function<void()> onCancel;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            onCancel = m_onCancel;
        }
        if (onCancel) onCancel();
    }

private:
    struct Timer {
        Clock::duration period;
        Clock::time_point next;
        std::function<void()> tick;
    };

    void Tick() {
        std::unique_lock<std::mutex> hold(m_lock);
        while (!m_stopping) {
            if (m_timers.empty()) {
                m_wake.wait(hold);
                continue;
            }
            auto due = m_timers.begin();
            for (auto it = m_timers.begin(); it != m_timers.end(); ++it)
                if (it->second.next < due->second.next) due = it;
            if (const Clock::time_point next = due->second.next; Clock::now() < next) {
                // A copy: the timer may be killed while we wait.
                m_wake.wait_until(hold, next);
                continue;
            }
            due->second.next += due->second.period;
            std::function<void()> tick = due->second.tick;
            // The tick works the view itself, and may kill its own timer.
            hold.unlock();
            tick();
            hold.lock();
        }
    }

    void DrawLocked() {
        if (!m_draw || !m_visible) return;
        const std::string line = Cp932ToUtf8(ProgressLine(m_text, m_pos, m_range, TerminalColumns()));
        std::fprintf(stderr, "\r\033[K%s", line.c_str());
        std::fflush(stderr);
    }

    const bool m_draw;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::thread m_ticker;
    std::map<unsigned, Timer> m_timers;
    std::function<void()> m_onCancel;
    bool m_stopping = false;
    bool m_visible = false;
    std::string m_text;
    uint16_t m_range = 100;
    int32_t m_pos = 0;
};

}  // namespace

std::unique_ptr<ProgressView> CreateProgressView(void*) { return std::make_unique<TerminalProgressView>(); }

}  // namespace platform
