// POSIX only.
#include "platform/output_file.h"
#include "platform/process_paths.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

struct OutputFile::Impl {
    int fd = -1;
};

OutputFile::OutputFile() : impl_(new Impl) {}
OutputFile::~OutputFile() { close(); }

bool OutputFile::create(const std::string& path) {
    close();
    impl_->fd = ::open(nativePath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return impl_->fd >= 0;
}

void OutputFile::close() {
    if (impl_->fd >= 0) {
        ::close(impl_->fd);
        impl_->fd = -1;
    }
}

bool OutputFile::isOpen() const { return impl_->fd >= 0; }

intptr_t OutputFile::nativeHandle() const { return impl_->fd; }

void OutputFile::write(const std::string& data) {
    // A write() reaches the page cache, which survives the death of the process; the per-line
    // fsync that Windows' FlushFileBuffers stands for would only guard against a power loss.
    const char* p = data.data();
    size_t left = data.size();
    while (impl_->fd >= 0 && left > 0) {
        ssize_t n = ::write(impl_->fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace platform
