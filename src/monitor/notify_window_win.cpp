// Windows only: the marker window on a thread of its own.
#include "monitor/notify_window.h"

#include <atomic>
#include <thread>

#include "platform/handles_win.h"

namespace {
const wchar_t* wide(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
}  // namespace

struct CNotifyWindow::Impl {
    std::atomic<HWND> window{nullptr};
    std::thread thread;
    platform::UniqueHandle ready{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

    void run() {
        HINSTANCE module = GetModuleHandleW(nullptr);
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = module;
        wc.lpszClassName = wide(kMarkerWindowClass);
        RegisterClassW(&wc);  // a second registration in the process fails harmlessly
        HWND w = CreateWindowExW(0, wide(kMarkerWindowClass), wide(kMarkerWindowTitle), WS_POPUP, 0, 0, 0, 0, nullptr,
                                 nullptr, module, nullptr);
        window = w;
        SetEvent(ready.get());
        if (!w) return;
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        DestroyWindow(w);
        window = nullptr;
    }
};

CNotifyWindow::CNotifyWindow() : impl_(new Impl) {
    try {
        impl_->thread = std::thread([this] { impl_->run(); });
        WaitForSingleObject(impl_->ready.get(), INFINITE);
    } catch (...) {
        // No thread, no window: the service runs on without its marker.
    }
}

CNotifyWindow::~CNotifyWindow() {
    if (HWND w = impl_->window.load()) PostMessageW(w, WM_QUIT, 0, 0);
    if (impl_->thread.joinable()) impl_->thread.join();
}

bool CNotifyWindow::created() const { return impl_->window.load() != nullptr; }
void* CNotifyWindow::handle() const { return impl_->window.load(); }

void* CNotifyWindow::findNextMarkerWindow(void* after) {
    return FindWindowExW(nullptr, static_cast<HWND>(after), nullptr, wide(kMarkerWindowTitle));
}
