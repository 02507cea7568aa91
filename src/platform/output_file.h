// A file written from the start, shared for reading by other processes, each write reaching
// the operating system before it returns (on Windows also flushed to disk), so that a crash
// loses nothing already written.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class OutputFile {
public:
    OutputFile();
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates (replacing) the file; a relative path resolves against the current directory and
    // may use backslashes. False when it cannot be created; the object then writes nothing.
    bool create(const std::string& path);
    void close();
    bool isOpen() const;
    // Failures (full disk) are ignored by design: the log must never stop the service.
    void write(const std::string& data);
    // The descriptor (POSIX) or HANDLE (Windows) for writers that may not allocate or lock (the
    // crash report); -1 when closed.
    intptr_t nativeHandle() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
