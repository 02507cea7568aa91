#include "service/pause_pipe.h"

CPipeServer::CPipeServer(const std::string& pipeName) : name_(pipeName), transport_(PausePipeTransport::create(pipeName)) {
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

CPipeServer::~CPipeServer() {
    if (transport_) transport_->stop();
    if (acceptThread_.joinable()) acceptThread_.join();
    std::lock_guard<std::mutex> lock(threadsLock_);
    for (ClientThread& c : clients_)
        if (c.thread.joinable()) c.thread.join();
}

void CPipeServer::setCallback(Callback callback) {
    CLockGuard lock(lock_);
    callback_ = std::move(callback);
}

int32_t CPipeServer::clientCount() const {
    CLockGuard lock(lock_);
    return clientCount_;
}

size_t CPipeServer::threadCount() const {
    std::lock_guard<std::mutex> lock(threadsLock_);
    return clients_.size();
}

void CPipeServer::changeCount(int delta) {
    CLockGuard lock(lock_);
    clientCount_ += delta;
    if (callback_) callback_(clientCount_);
}

void CPipeServer::reapFinished() {
    std::lock_guard<std::mutex> lock(threadsLock_);
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (it->done) {
            if (it->thread.joinable()) it->thread.join();
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

void CPipeServer::acceptLoop() {
    if (!transport_) return;
    for (;;) {
        std::unique_ptr<PausePipeConnection> connection = transport_->accept();
        if (!connection) return;
        reapFinished();
        std::lock_guard<std::mutex> lock(threadsLock_);
        clients_.emplace_back();
        ClientThread* self = &clients_.back();
        try {
            self->thread = std::thread([this, self, c = connection.release()]() mutable {
                clientLoop(std::unique_ptr<PausePipeConnection>(c), self);
            });
        } catch (...) {
            clients_.pop_back();
            return;
        }
    }
}

void CPipeServer::clientLoop(std::unique_ptr<PausePipeConnection> connection, ClientThread* self) {
    try {
        changeCount(+1);
        if (connection->waitForRelease()) changeCount(-1);
    } catch (...) {
        // Nothing may escape a thread; the hold simply ends.
    }
    connection.reset();
    self->done = true;
}
