// The progress window: dialog 1000 of the library's resources, a modeless dialog of the
// host's thread. What the view should show is kept here under a lock and the window is
// brought up to it on its own thread: other threads only post, so a worker never waits
// for the host's thread, which may be joining it. Timers run on the window, as the
// system wants, and tick on the host's thread.
#include "platform/ProgressView.h"

#include <windows.h>
#include <commctrl.h>

#include <map>
#include <mutex>
#include <type_traits>

#include "platform/win32/Module.h"
#include "platform/win32/Wide.h"
#include "res/resource.h"

namespace platform {
namespace {

constexpr UINT kSync = WM_APP + 0x100;  // bring the window up to the state
constexpr int kBarId = 1000, kTextId = 1001;

class DialogProgressView final : public ProgressView {
public:
    bool Create(HWND owner) {
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        HWND parent = owner && IsWindow(owner) ? GetAncestor(owner, GA_ROOTOWNER) : nullptr;
        m_window = CreateDialogParamA(ThisModule(), MAKEINTRESOURCEA(IDD_PROGRESS), parent, DialogProc,
                                      reinterpret_cast<LPARAM>(this));
        m_thread = GetCurrentThreadId();
        return m_window != nullptr;
    }

    ~DialogProgressView() override {
        HWND window = m_window;
        if (!window) return;
        if (GetCurrentThreadId() == m_thread) {
            for (const auto& t : m_running) ::KillTimer(window, t.first);
            SetWindowLongPtrA(window, DWLP_USER, 0);
            DestroyWindow(window);
            return;
        }
        // Not the window's thread (the library going away on its last worker): hand the
        // window to the system's own procedure and let it close itself, so nothing of
        // ours is called after we are gone. The window's thread may be inside our
        // procedure right now: a message it takes back from us says it has left it.
        SetWindowLongPtrA(window, DWLP_USER, 0);
        SetWindowLongPtrA(window, DWLP_DLGPROC, 0);
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(DefWindowProcA));
        // Bounded: that thread may be waiting for the loader, which we hold.
        SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 500, nullptr);
        PostMessageA(window, WM_CLOSE, 0, 0);
    }

    void ShowTopmost() override { Change([](State& s) { s.visible = true; }); }
    void Hide() override { Change([](State& s) { s.visible = false; }); }
    bool IsVisible() const override { return Get([](const State& s) { return s.visible; }); }
    void SetText(const std::string& text) override { Change([&](State& s) { s.text = text; }); }
    std::string Text() const override { return Get([](const State& s) { return s.text; }); }
    void SetRange(uint16_t upper) override { Change([&](State& s) { s.range = upper; s.pos = Clamp(s.pos, upper); }); }
    uint16_t Range() const override { return Get([](const State& s) { return s.range; }); }
    void SetPos(int32_t pos) override { Change([&](State& s) { s.pos = Clamp(pos, s.range); }); }
    int32_t Pos() const override { return Get([](const State& s) { return s.pos; }); }

    void SetTimer(unsigned id, unsigned periodMs, std::function<void()> tick) override {
        Change([&](State& s) { s.timers[id] = Timer{periodMs, std::move(tick)}; });
    }
    void KillTimer(unsigned id) override { Change([&](State& s) { s.timers.erase(id); }); }

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

    HWND Window() const { return m_window; }

private:
    struct Timer {
        unsigned periodMs;
        std::function<void()> tick;
    };
    struct State {
        bool visible = false;
        std::string text;
        uint16_t range = 100;
        int32_t pos = 0;
        std::map<unsigned, Timer> timers;
    };

    // A bar control keeps its position within its range.
    static int32_t Clamp(int32_t pos, uint16_t range) { return pos < 0 ? 0 : pos > range ? range : pos; }

    // One field, without copying the timers the state also holds.
    template <class F>
    std::invoke_result_t<F, const State&> Get(F f) const {
        std::lock_guard<std::mutex> hold(m_lock);
        return f(m_state);
    }

    template <class F>
    void Change(F f) {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            f(m_state);
        }
        if (!m_window) return;
        if (GetCurrentThreadId() == m_thread) Sync();
        else PostMessageA(m_window, kSync, 0, 0);
    }

    // On the window's thread only. The bar's timer syncs every tick: the text and the
    // range are set only when they changed, so the window does not repaint them each time.
    void Sync() {
        State s;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            s = m_state;
        }
        HWND bar = GetDlgItem(m_window, kBarId);
        if (!m_synced || s.text != m_shownText) SetDlgItemTextW(m_window, kTextId, Widen(s.text, kLibraryCodePage).c_str());
        if (!m_synced || s.range != m_shownRange) SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, s.range));
        m_synced = true;
        m_shownText = s.text;
        m_shownRange = s.range;
        SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(s.pos), 0);
        for (auto it = m_running.begin(); it != m_running.end();) {
            auto want = s.timers.find(it->first);
            if (want == s.timers.end() || want->second.periodMs != it->second) {
                ::KillTimer(m_window, it->first);
                it = m_running.erase(it);
            } else {
                ++it;
            }
        }
        for (const auto& t : s.timers)
            if (!m_running.count(t.first) && ::SetTimer(m_window, t.first, t.second.periodMs, nullptr))
                m_running[t.first] = t.second.periodMs;
        const bool shown = IsWindowVisible(m_window) != FALSE;
        if (s.visible && !shown) {
            m_focusBefore = GetFocus();
            SetWindowPos(m_window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
        } else if (!s.visible && shown) {
            const bool active = GetActiveWindow() == m_window;
            SetWindowPos(m_window, HWND_NOTOPMOST, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_HIDEWINDOW);
            GiveFocusBack(active);
        }
    }

    // What had the focus when the window came up gets it again, unless the user has
    // moved on to another window meanwhile.
    void GiveFocusBack(bool wasActive) {
        HWND before = m_focusBefore;
        m_focusBefore = nullptr;
        if (!wasActive || !before || !IsWindow(before)) return;
        SetActiveWindow(GetAncestor(before, GA_ROOT));
        SetFocus(before);
    }

    void OnTimer(unsigned id) {
        std::function<void()> tick;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            auto it = m_state.timers.find(id);
            if (it != m_state.timers.end()) tick = it->second.tick;
        }
        if (tick) tick();
    }

    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_INITDIALOG) {
            SetWindowLongPtrA(window, DWLP_USER, lParam);
            // FALSE: the dialog manager would give the hidden window the host's focus.
            return FALSE;
        }
        auto* self = reinterpret_cast<DialogProgressView*>(GetWindowLongPtrA(window, DWLP_USER));
        if (!self) return FALSE;
        switch (message) {
        case kSync:
            self->Sync();
            return TRUE;
        case WM_TIMER:
            self->OnTimer(static_cast<unsigned>(wParam));
            return TRUE;
        case WM_COMMAND:
            // Esc, or IDCANCEL sent by any means: the cancel command; the window stays.
            if (LOWORD(wParam) == IDCANCEL) {
                self->Cancel();
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            self->Cancel();
            return TRUE;
        default:
            return FALSE;
        }
    }

    HWND m_window = nullptr;
    DWORD m_thread = 0;
    mutable std::mutex m_lock;
    State m_state;
    std::map<unsigned, unsigned> m_running;  // timers set on the window: id -> period
    HWND m_focusBefore = nullptr;  // the host's focus while the window shows
    bool m_synced = false;                   // what the window shows, once it shows anything
    std::string m_shownText;
    uint16_t m_shownRange = 0;
    std::function<void()> m_onCancel;
};

}  // namespace

std::unique_ptr<ProgressView> CreateProgressView(void* ownerWindow) {
    auto view = std::make_unique<DialogProgressView>();
    if (!view->Create(static_cast<HWND>(ownerWindow))) return nullptr;
    return view;
}

}  // namespace platform
