// The pause pipe: while a client keeps a connection to the named pipe open, the service stays
// paused. The connection is the signal; anything the client writes, or closing its end, lets go.
// On Windows a named pipe; elsewhere a Unix stream socket with the same name in the abstract
// namespace, with the same protocol.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/lock.h"

// One accepted client connection, owned by its client thread.
class PausePipeConnection {
public:
    virtual ~PausePipeConnection() = default;
    // Waits until the client writes (at most 200 bytes are read and discarded) or closes its
    // end: true. False when the server stops first. The connection is closed in both cases.
    virtual bool waitForRelease() = 0;
};

// The listening side of the pipe. Thread safe: accept runs on the accepting thread while stop
// and the connections' waits run elsewhere.
class PausePipeTransport {
public:
    virtual ~PausePipeTransport() = default;
    // Creates the next pipe instance and waits for a client. Null when the server is stopping
    // or no instance can be created (the name is taken, for instance).
    virtual std::unique_ptr<PausePipeConnection> accept() = 0;
    // Wakes every accept and every connection wait, for good.
    virtual void stop() = 0;

    static std::unique_ptr<PausePipeTransport> create(const std::string& pipeName);
};

class CPipeServer {
public:
    using Callback = std::function<void(int32_t clientCount)>;

    // Starts accepting at once. A client that connects before the callback is set is counted
    // but not reported.
    explicit CPipeServer(const std::string& pipeName);
    // Ends every thread; client threads end without a callback and their clients see a broken pipe.
    virtual ~CPipeServer();
    CPipeServer(const CPipeServer&) = delete;
    CPipeServer& operator=(const CPipeServer&) = delete;

    void setCallback(Callback callback);
    int32_t clientCount() const;
    // Client threads still owned (running, or finished and not reaped yet).
    size_t threadCount() const;

private:
    struct ClientThread {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void acceptLoop();
    void clientLoop(std::unique_ptr<PausePipeConnection> connection, ClientThread* self);
    void changeCount(int delta);
    // Joins client threads that have ended, so that a client connecting in a loop costs nothing
    // lasting.
    void reapFinished();

    std::string name_;
    mutable CCriticalSection lock_;
    int32_t clientCount_ = 0;
    Callback callback_;
    std::unique_ptr<PausePipeTransport> transport_;
    mutable std::mutex threadsLock_;
    std::list<ClientThread> clients_;
    std::thread acceptThread_;
};

// A client of the pause pipe, for the pause tool and tests.
class CPausePipeClient {
public:
    CPausePipeClient();
    ~CPausePipeClient();
    CPausePipeClient(const CPausePipeClient&) = delete;
    CPausePipeClient& operator=(const CPausePipeClient&) = delete;

    // Hold: enough to hold the pause, end it by closing and see the server go. HoldAndWrite:
    // also ends the hold by writing.
    enum class Access { Hold, HoldAndWrite };
    // Connects and so starts holding the pause. False when no server listens.
    bool connect(const std::string& pipeName, Access access = Access::Hold);
    // Ends the hold by writing bytes (the server reads at most 200 of them); false unless
    // connected with HoldAndWrite.
    bool write(size_t bytes = 1);
    // Ends the hold by closing the connection.
    void close();
    // True once the server has closed its end (the service stopped, or it let go of the hold).
    bool serverGone(uint32_t waitMs);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

constexpr const char* kPausePipeName = "\\\\.\\pipe\\VelkarisDefragServicePausePipe";
