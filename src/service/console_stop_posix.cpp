// POSIX only: SIGINT and SIGTERM are blocked in this thread (and so in every thread it starts
// later) and taken by a watcher thread with sigwait, where it is safe to do real work.
#include "service/console_stop.h"

#include <csignal>
#include <pthread.h>
#include <thread>

struct CConsoleStop::Impl {
    std::function<void()> onStop;
    sigset_t previous;
    std::thread watcher;
};

namespace {
// Wakes the watcher for the end of its life; never sent by anyone else.
constexpr int kQuitSignal = SIGUSR2;
}

CConsoleStop::CConsoleStop(std::function<void()> onStop) : impl_(new Impl) {
    impl_->onStop = std::move(onStop);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, kQuitSignal);
    pthread_sigmask(SIG_BLOCK, &set, &impl_->previous);
    Impl* impl = impl_.get();
    impl_->watcher = std::thread([impl, set] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            if (sig == kQuitSignal) return;
            impl->onStop();
        }
    });
}

bool CConsoleStop::deliver(uint32_t) { return false; }

CConsoleStop::~CConsoleStop() {
    pthread_kill(impl_->watcher.native_handle(), kQuitSignal);
    impl_->watcher.join();
    pthread_sigmask(SIG_SETMASK, &impl_->previous, nullptr);
}
