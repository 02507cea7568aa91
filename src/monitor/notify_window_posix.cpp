// POSIX only: no window system, no marker window.
#include "monitor/notify_window.h"

struct CNotifyWindow::Impl {};

CNotifyWindow::CNotifyWindow() : impl_(new Impl) {}
CNotifyWindow::~CNotifyWindow() = default;
bool CNotifyWindow::created() const { return false; }
void* CNotifyWindow::handle() const { return nullptr; }
void* CNotifyWindow::findNextMarkerWindow(void*) { return nullptr; }
