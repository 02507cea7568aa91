// POSIX only: the registry store kept in an SQLite database.
#include "config/sqlite_registry_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <mutex>

#include "logging/log.h"
#include "platform/process_paths.h"
#include "platform/win32_types.h"

namespace {

constexpr int kBusyTimeoutMs = 10000;

// Rows: a key's parent is 0 for a key right below the root. AUTOINCREMENT keeps the id of a
// deleted key from being given to a new one, so a handle left open on a deleted key never
// reaches a stranger.
const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " fold BLOB NOT NULL,"
    " UNIQUE(parent, fold));"
    "CREATE TABLE IF NOT EXISTS vals("
    " key INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " fold BLOB NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY(key, fold)) WITHOUT ROWID;";

struct KeyHandle {
    int64_t id;
    uint32_t access;
};

char16_t foldUnit(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
    return c;
}

class SqliteRegistryStore : public CRegistryStore {
public:
    explicit SqliteRegistryStore(std::string path) : path_(std::move(path)) {}
    ~SqliteRegistryStore() override { closeDatabase(); }

    RegistryHandle root() override { return reinterpret_cast<RegistryHandle>(&rootHandle_); }

    uint32_t openKey(RegistryHandle parent, const WString& name, uint32_t access, RegistryHandle& key) override {
        std::lock_guard<std::mutex> lock(lock_);
        if (!ensureOpen()) return kRegErrorIoFailed;
        int64_t parentId = handle(parent)->id;
        int64_t id = 0;
        uint32_t rc = findChild(parentId, registryFoldKey(name), id);
        if (rc == ERROR_FILE_NOT_FOUND) {
            bool exists = false;
            uint32_t prc = keyExists(parentId, exists);
            if (prc != ERROR_SUCCESS) return prc;
            if (!exists) return kRegErrorKeyDeleted;
        }
        if (rc != ERROR_SUCCESS) return rc;
        key = reinterpret_cast<RegistryHandle>(new KeyHandle{id, access});
        return ERROR_SUCCESS;
    }

    uint32_t createKey(RegistryHandle parent, const WString& name, uint32_t access, RegistryHandle& key) override {
        std::lock_guard<std::mutex> lock(lock_);
        if (!ensureOpen()) return kRegErrorIoFailed;
        int64_t parentId = handle(parent)->id;
        std::string fold = registryFoldKey(name);
        Transaction tx(*this);
        if (!tx.begun()) return kRegErrorIoFailed;
        bool exists = false;
        uint32_t rc = keyExists(parentId, exists);
        if (rc != ERROR_SUCCESS) return rc;
        if (!exists) return kRegErrorKeyDeleted;
        int64_t id = 0;
        rc = findChild(parentId, fold, id);
        if (rc == ERROR_FILE_NOT_FOUND) {
            sqlite3_stmt* s = statement("INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)");
            if (!s) return kRegErrorIoFailed;
            sqlite3_bind_int64(s, 1, parentId);
            bindText(s, 2, name);
            bindBlob(s, 3, fold.data(), fold.size());
            if (!step(s, SQLITE_DONE)) return kRegErrorIoFailed;
            id = sqlite3_last_insert_rowid(db_);
            rc = ERROR_SUCCESS;
        }
        if (rc != ERROR_SUCCESS) return rc;
        if (!tx.commit()) return kRegErrorIoFailed;
        key = reinterpret_cast<RegistryHandle>(new KeyHandle{id, access});
        return ERROR_SUCCESS;
    }

    void closeKey(RegistryHandle key) override {
        if (key != root()) delete handle(key);
    }

    uint32_t enumKey(RegistryHandle key, uint32_t index, uint32_t capacity, WString& name) override {
        return enumerate(key, kRegKeyEnumerateSubKeys,
                         "SELECT name FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2", index, capacity,
                         name);
    }

    uint32_t enumValue(RegistryHandle key, uint32_t index, uint32_t capacity, WString& name) override {
        return enumerate(key, kRegKeyQueryValue, "SELECT name FROM vals WHERE key = ?1 ORDER BY fold LIMIT 1 OFFSET ?2",
                         index, capacity, name);
    }

    uint32_t queryValue(RegistryHandle key, const WString& name, uint32_t& type, uint8_t* data, uint32_t& size) override {
        std::lock_guard<std::mutex> lock(lock_);
        if (!ensureOpen()) return kRegErrorIoFailed;
        const KeyHandle* h = handle(key);
        if (!(h->access & kRegKeyQueryValue)) return ERROR_ACCESS_DENIED;
        sqlite3_stmt* s = statement("SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
        if (!s) return kRegErrorIoFailed;
        std::string fold = registryFoldKey(name);
        sqlite3_bind_int64(s, 1, h->id);
        bindBlob(s, 2, fold.data(), fold.size());
        int r = sqlite3_step(s);
        if (r == SQLITE_DONE) {
            sqlite3_reset(s);
            return missing(h->id);
        }
        if (r != SQLITE_ROW) {
            fail("step", r);
            sqlite3_reset(s);
            return kRegErrorIoFailed;
        }
        uint32_t storedType = static_cast<uint32_t>(sqlite3_column_int64(s, 0));
        const void* blob = sqlite3_column_blob(s, 1);
        uint32_t bytes = static_cast<uint32_t>(sqlite3_column_bytes(s, 1));
        uint32_t rc = ERROR_SUCCESS;
        if (data && bytes > size) rc = kRegErrorMoreData;
        else if (data && bytes > 0) std::memcpy(data, blob, bytes);
        type = storedType;
        size = bytes;
        sqlite3_reset(s);
        return rc;
    }

    uint32_t setValue(RegistryHandle key, const WString& name, uint32_t type, const uint8_t* data, uint32_t size) override {
        std::lock_guard<std::mutex> lock(lock_);
        if (!ensureOpen()) return kRegErrorIoFailed;
        const KeyHandle* h = handle(key);
        if (!(h->access & kRegKeySetValue)) return ERROR_ACCESS_DENIED;
        Transaction tx(*this);
        if (!tx.begun()) return kRegErrorIoFailed;
        bool exists = false;
        uint32_t rc = keyExists(h->id, exists);
        if (rc != ERROR_SUCCESS) return rc;
        if (!exists) return kRegErrorKeyDeleted;
        // An existing value keeps the spelling of its name, as the registry does.
        sqlite3_stmt* s = statement(
            "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
            " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
        if (!s) return kRegErrorIoFailed;
        std::string fold = registryFoldKey(name);
        sqlite3_bind_int64(s, 1, h->id);
        bindText(s, 2, name);
        bindBlob(s, 3, fold.data(), fold.size());
        sqlite3_bind_int64(s, 4, type);
        bindBlob(s, 5, data, size);
        if (!step(s, SQLITE_DONE)) return kRegErrorIoFailed;
        return tx.commit() ? ERROR_SUCCESS : kRegErrorIoFailed;
    }

    uint32_t deleteValue(RegistryHandle key, const WString& name) override {
        std::lock_guard<std::mutex> lock(lock_);
        if (!ensureOpen()) return kRegErrorIoFailed;
        const KeyHandle* h = handle(key);
        if (!(h->access & kRegKeySetValue)) return ERROR_ACCESS_DENIED;
        sqlite3_stmt* s = statement("DELETE FROM vals WHERE key = ?1 AND fold = ?2");
        if (!s) return kRegErrorIoFailed;
        std::string fold = registryFoldKey(name);
        sqlite3_bind_int64(s, 1, h->id);
        bindBlob(s, 2, fold.data(), fold.size());
        if (!step(s, SQLITE_DONE)) return kRegErrorIoFailed;
        if (sqlite3_changes(db_) == 0) return missing(h->id);
        return ERROR_SUCCESS;
    }

    uint32_t deleteKey(RegistryHandle parent, const WString& name) override {
        std::lock_guard<std::mutex> lock(lock_);
        if (!ensureOpen()) return kRegErrorIoFailed;
        int64_t parentId = handle(parent)->id;
        Transaction tx(*this);
        if (!tx.begun()) return kRegErrorIoFailed;
        int64_t id = 0;
        uint32_t rc = findChild(parentId, registryFoldKey(name), id);
        if (rc != ERROR_SUCCESS) return rc;
        sqlite3_stmt* s = statement("SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
        if (!s) return kRegErrorIoFailed;
        sqlite3_bind_int64(s, 1, id);
        int r = sqlite3_step(s);
        sqlite3_reset(s);
        if (r == SQLITE_ROW) return ERROR_ACCESS_DENIED;
        if (r != SQLITE_DONE) {
            fail("step", r);
            return kRegErrorIoFailed;
        }
        s = statement("DELETE FROM vals WHERE key = ?1");
        if (!s) return kRegErrorIoFailed;
        sqlite3_bind_int64(s, 1, id);
        if (!step(s, SQLITE_DONE)) return kRegErrorIoFailed;
        s = statement("DELETE FROM keys WHERE id = ?1");
        if (!s) return kRegErrorIoFailed;
        sqlite3_bind_int64(s, 1, id);
        if (!step(s, SQLITE_DONE)) return kRegErrorIoFailed;
        return tx.commit() ? ERROR_SUCCESS : kRegErrorIoFailed;
    }

private:
    // An immediate transaction: it takes the write lock at once, so that two processes never
    // both read and then fail to upgrade. Rolled back unless committed.
    class Transaction {
    public:
        explicit Transaction(SqliteRegistryStore& store) : store_(store) { begun_ = store_.exec("BEGIN IMMEDIATE"); }
        ~Transaction() {
            if (begun_ && !done_) store_.exec("ROLLBACK");
        }
        bool begun() const { return begun_; }
        bool commit() {
            done_ = true;
            if (store_.exec("COMMIT")) return true;
            store_.exec("ROLLBACK");
            return false;
        }

    private:
        SqliteRegistryStore& store_;
        bool begun_ = false;
        bool done_ = false;
    };

    static KeyHandle* handle(RegistryHandle h) { return reinterpret_cast<KeyHandle*>(h); }

    bool ensureOpen() {
        if (db_) return true;
        std::string native = platform::nativePath(path_);
        size_t cut = native.find_last_of('/');
        if (cut != std::string::npos && cut > 0) mkdir(native.substr(0, cut).c_str(), 0777);
        sqlite3* db = nullptr;
        int r = sqlite3_open_v2(native.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                nullptr);
        if (r != SQLITE_OK) {
            if (!openFailureLogged_) {
                LogScope scope("RegistryStore");
                LogMessage(scope, LogPriority::Error)
                    .text("Couldn't open registry store.")
                    .prop("Path", native)
                    .prop("SqliteError", db ? sqlite3_errmsg(db) : sqlite3_errstr(r));
                openFailureLogged_ = true;
            }
            sqlite3_close(db);
            return false;
        }
        db_ = db;
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        if (!exec("PRAGMA journal_mode=WAL") || !exec("PRAGMA synchronous=NORMAL") || !createSchema()) {
            closeDatabase();
            return false;
        }
        openFailureLogged_ = false;
        return true;
    }

    bool createSchema() {
        Transaction tx(*this);
        return tx.begun() && exec(kSchema) && tx.commit();
    }

    void closeDatabase() {
        for (auto& entry : statements_) sqlite3_finalize(entry.second);
        statements_.clear();
        if (db_) sqlite3_close(db_);
        db_ = nullptr;
    }

    bool exec(const char* sql) {
        int r = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
        if (r != SQLITE_OK) fail(sql, r);
        return r == SQLITE_OK;
    }

    // Prepared once per connection; the text is a literal, so its address names it.
    sqlite3_stmt* statement(const char* sql) {
        auto it = statements_.find(sql);
        if (it != statements_.end()) return it->second;
        sqlite3_stmt* s = nullptr;
        int r = sqlite3_prepare_v2(db_, sql, -1, &s, nullptr);
        if (r != SQLITE_OK) {
            fail(sql, r);
            return nullptr;
        }
        statements_[sql] = s;
        return s;
    }

    bool step(sqlite3_stmt* s, int expected) {
        int r = sqlite3_step(s);
        sqlite3_reset(s);
        if (r != expected) fail("step", r);
        return r == expected;
    }

    void fail(const char* what, int code) {
        LogScope scope("RegistryStore");
        LogMessage(scope, LogPriority::Error)
            .text("Registry store operation failed.")
            .prop("Operation", what)
            .prop("SqliteCode", code)
            .prop("SqliteError", db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code));
    }

    static void bindText(sqlite3_stmt* s, int index, const WString& text) {
        std::string utf8 = platform::utf16ToUtf8(text);
        sqlite3_bind_text(s, index, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
    }

    // A zero-length blob, not NULL, when there are no bytes.
    static void bindBlob(sqlite3_stmt* s, int index, const void* data, size_t size) {
        if (size == 0) sqlite3_bind_zeroblob(s, index, 0);
        else sqlite3_bind_blob(s, index, data, static_cast<int>(size), SQLITE_TRANSIENT);
    }

    uint32_t findChild(int64_t parent, const std::string& fold, int64_t& id) {
        sqlite3_stmt* s = statement("SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
        if (!s) return kRegErrorIoFailed;
        sqlite3_bind_int64(s, 1, parent);
        bindBlob(s, 2, fold.data(), fold.size());
        int r = sqlite3_step(s);
        if (r == SQLITE_ROW) id = sqlite3_column_int64(s, 0);
        sqlite3_reset(s);
        if (r == SQLITE_ROW) return ERROR_SUCCESS;
        if (r == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
        fail("step", r);
        return kRegErrorIoFailed;
    }

    uint32_t keyExists(int64_t id, bool& exists) {
        if (id == 0) {
            exists = true;
            return ERROR_SUCCESS;
        }
        sqlite3_stmt* s = statement("SELECT 1 FROM keys WHERE id = ?1");
        if (!s) return kRegErrorIoFailed;
        sqlite3_bind_int64(s, 1, id);
        int r = sqlite3_step(s);
        sqlite3_reset(s);
        if (r != SQLITE_ROW && r != SQLITE_DONE) {
            fail("step", r);
            return kRegErrorIoFailed;
        }
        exists = r == SQLITE_ROW;
        return ERROR_SUCCESS;
    }

    // A value or an entry that is not there: 2, or 1018 when its key itself has gone.
    uint32_t missing(int64_t keyId) {
        bool exists = false;
        uint32_t rc = keyExists(keyId, exists);
        if (rc != ERROR_SUCCESS) return rc;
        return exists ? ERROR_FILE_NOT_FOUND : kRegErrorKeyDeleted;
    }

    uint32_t enumerate(RegistryHandle key, uint32_t right, const char* sql, uint32_t index, uint32_t capacity,
                       WString& name) {
        std::lock_guard<std::mutex> lock(lock_);
        if (!ensureOpen()) return kRegErrorIoFailed;
        const KeyHandle* h = handle(key);
        if (!(h->access & right)) return ERROR_ACCESS_DENIED;
        sqlite3_stmt* s = statement(sql);
        if (!s) return kRegErrorIoFailed;
        sqlite3_bind_int64(s, 1, h->id);
        sqlite3_bind_int64(s, 2, index);
        int r = sqlite3_step(s);
        WString found;
        if (r == SQLITE_ROW) {
            const char* text = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
            found = platform::utf8ToUtf16(std::string(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(s, 0))));
        }
        sqlite3_reset(s);
        if (r == SQLITE_DONE) {
            uint32_t rc = missing(h->id);
            return rc == ERROR_FILE_NOT_FOUND ? kRegErrorNoMoreItems : rc;
        }
        if (r != SQLITE_ROW) {
            fail("step", r);
            return kRegErrorIoFailed;
        }
        if (found.size() + 1 > capacity) return kRegErrorMoreData;
        name = found;
        return ERROR_SUCCESS;
    }

    std::mutex lock_;
    std::string path_;
    sqlite3* db_ = nullptr;
    bool openFailureLogged_ = false;
    std::map<const char*, sqlite3_stmt*> statements_;
    KeyHandle rootHandle_{0, kRegKeyAllAccess};
};

}  // namespace

std::string registryFoldKey(const WString& name) {
    std::string out;
    out.reserve(name.size() * 2);
    for (char16_t c : name) {
        char16_t u = foldUnit(c);
        out.push_back(static_cast<char>(u >> 8));
        out.push_back(static_cast<char>(u & 0xFF));
    }
    return out;
}

std::shared_ptr<CRegistryStore> openSqliteRegistryStore(const std::string& path) {
    return std::make_shared<SqliteRegistryStore>(path);
}
