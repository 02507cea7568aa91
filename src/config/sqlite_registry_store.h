// The registry store of platforms without a registry: an SQLite database holding the tree of
// keys and their typed values. Several threads share one connection under a lock; several
// processes share the file (write-ahead log, a busy timeout, and every change in one immediate
// transaction).
#pragma once
#include <memory>
#include <string>

#include "config/registry_store.h"

// Opens (creating when missing) the database at path. The directory that holds it is created
// when missing (one level). Never fails: when the file cannot be opened, every operation of the
// store fails with kRegErrorIoFailed until a later attempt succeeds.
std::shared_ptr<CRegistryStore> openSqliteRegistryStore(const std::string& path);

// The case-folded form under which names are unique and sorted: each UTF-16 unit upper-cased in
// the ASCII and Latin-1 ranges, stored big-endian so that a byte comparison orders names as
// platform::compareNoCase does.
std::string registryFoldKey(const WString& name);
