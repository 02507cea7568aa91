// POSIX only.
#include "platform/state_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/process_paths.h"

namespace platform {

struct StateFileWriter::Impl {
    int fd = -1;
    std::string path, temp;
};

StateFileWriter::StateFileWriter() : impl_(new Impl) {}

StateFileWriter::~StateFileWriter() {
    if (impl_->fd >= 0) {
        ::close(impl_->fd);
        ::unlink(impl_->temp.c_str());
    }
}

bool StateFileWriter::open(const WString& path) {
    impl_->path = nativePath(utf16ToUtf8(path));
    impl_->temp = impl_->path + ".tmp";
    impl_->fd = ::open(impl_->temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    failed_ = impl_->fd < 0;
    return !failed_;
}

bool StateFileWriter::writeBytes(const void* data, size_t size) {
    if (failed_ || impl_->fd < 0) return false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(impl_->fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failed_ = true;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool StateFileWriter::commit() {
    if (impl_->fd < 0) return false;
    bool ok = !failed_ && ::fsync(impl_->fd) == 0;
    ok = ::close(impl_->fd) == 0 && ok;
    impl_->fd = -1;
    if (ok) ok = ::rename(impl_->temp.c_str(), impl_->path.c_str()) == 0;
    if (!ok) ::unlink(impl_->temp.c_str());
    return ok;
}

struct StateFileReader::Impl {
    int fd = -1;
};

StateFileReader::StateFileReader() : impl_(new Impl) {}

StateFileReader::~StateFileReader() {
    if (impl_->fd >= 0) ::close(impl_->fd);
}

bool StateFileReader::open(const WString& path) {
    impl_->fd = ::open(nativePath(utf16ToUtf8(path)).c_str(), O_RDONLY | O_CLOEXEC);
    return impl_->fd >= 0;
}

bool StateFileReader::readBytes(void* data, size_t size) {
    if (impl_->fd < 0) return false;
    char* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = ::read(impl_->fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace platform
