// POSIX only: the owner of a file descriptor, made from the one template.
#pragma once
#include <unistd.h>

#include "platform/unique_resource.h"

namespace platform {

struct FdTraits {
    using Type = int;
    static Type invalid() { return -1; }
    static bool isValid(Type fd) { return fd >= 0; }
    static void close(Type fd) { ::close(fd); }
};
using UniqueFd = UniqueResource<FdTraits>;

}  // namespace platform
