// Windows only.
#include "platform/state_file.h"

#include "platform/handles_win.h"

namespace platform {

namespace {
const wchar_t* wide(const WString& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
}  // namespace

struct StateFileWriter::Impl {
    UniqueFile file;
    WString path, temp;
};

StateFileWriter::StateFileWriter() : impl_(new Impl) {}

StateFileWriter::~StateFileWriter() {
    if (impl_->file) {
        impl_->file.reset();
        DeleteFileW(wide(impl_->temp));
    }
}

bool StateFileWriter::open(const WString& path) {
    impl_->path = path;
    impl_->temp = path + u".tmp";
    impl_->file = UniqueFile(CreateFileW(wide(impl_->temp), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    failed_ = !impl_->file;
    return !failed_;
}

bool StateFileWriter::writeBytes(const void* data, size_t size) {
    if (failed_ || !impl_->file) return false;
    DWORD written = 0;
    if (!WriteFile(impl_->file.get(), data, static_cast<DWORD>(size), &written, nullptr) || written != size) {
        failed_ = true;
        return false;
    }
    return true;
}

bool StateFileWriter::commit() {
    if (!impl_->file) return false;
    bool ok = !failed_ && FlushFileBuffers(impl_->file.get());
    impl_->file.reset();
    if (ok) ok = MoveFileExW(wide(impl_->temp), wide(impl_->path), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) DeleteFileW(wide(impl_->temp));
    return ok;
}

struct StateFileReader::Impl {
    UniqueFile file;
};

StateFileReader::StateFileReader() : impl_(new Impl) {}
StateFileReader::~StateFileReader() = default;

bool StateFileReader::open(const WString& path) {
    impl_->file = UniqueFile(CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return impl_->file.valid();
}

bool StateFileReader::readBytes(void* data, size_t size) {
    if (!impl_->file) return false;
    DWORD got = 0;
    return ReadFile(impl_->file.get(), data, static_cast<DWORD>(size), &got, nullptr) && got == size;
}

}  // namespace platform
