// Windows only.
#include "service/pipe_security.h"

#include "platform/win32_types.h"

#include <sddl.h>

namespace pipe_security {

namespace {

// System and administrators: everything. Interactive users (IU) and services (SU): read, write
// data and attributes (0x12018b = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES),
// but not FILE_CREATE_PIPE_INSTANCE, so nobody else can add an instance that clients would reach.
// Protected (P): nothing inherited widens it.
constexpr wchar_t kDescriptor[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12018b;;;IU)(A;;0x12018b;;;SU)";

struct Attributes {
    SECURITY_ATTRIBUTES attributes{};
    bool valid = false;
    Attributes() {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kDescriptor, SDDL_REVISION_1, &descriptor, nullptr))
            return;
        // Kept for the life of the process: every pipe instance is created with it.
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = descriptor;
        attributes.bInheritHandle = FALSE;
        valid = true;
    }
};

}  // namespace

void* clientsMayConnect() {
    static Attributes instance;
    return instance.valid ? &instance.attributes : nullptr;
}

}  // namespace pipe_security
