// POSIX only: the process's registry store is the database at registryStorePath().
#include <mutex>

#include "config/registry_store.h"
#include "config/sqlite_registry_store.h"
#include "platform/process_paths.h"

std::shared_ptr<CRegistryStore> platformRegistryStore() {
    static std::mutex lock;
    static std::string openedPath;
    static std::shared_ptr<CRegistryStore> store;

    std::string path = platform::nativePath(registryStorePath());
    if (!path.empty() && path[0] != '/') path = platform::currentDirectory() + "/" + path;
    std::lock_guard<std::mutex> guard(lock);
    if (!store || path != openedPath) {
        store = openSqliteRegistryStore(path);
        openedPath = path;
    }
    return store;
}
