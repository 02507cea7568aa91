// Windows only.
#include "platform/output_file.h"
#include "platform/text.h"
#include "platform/win32_types.h"

namespace platform {

struct OutputFile::Impl {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

OutputFile::OutputFile() : impl_(new Impl) {}
OutputFile::~OutputFile() { close(); }

bool OutputFile::create(const std::string& path) {
    close();
    WString w = utf8ToUtf16(path);
    impl_->handle = CreateFileW(reinterpret_cast<const wchar_t*>(w.c_str()), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return impl_->handle != INVALID_HANDLE_VALUE;
}

void OutputFile::close() {
    if (impl_->handle != INVALID_HANDLE_VALUE) {
        CloseHandle(impl_->handle);
        impl_->handle = INVALID_HANDLE_VALUE;
    }
}

bool OutputFile::isOpen() const { return impl_->handle != INVALID_HANDLE_VALUE; }

intptr_t OutputFile::nativeHandle() const {
    return impl_->handle == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(impl_->handle);
}

void OutputFile::write(const std::string& data) {
    if (impl_->handle == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(impl_->handle, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    FlushFileBuffers(impl_->handle);
}

}  // namespace platform
