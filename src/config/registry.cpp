#include "config/registry.h"

#include "platform/byte_order.h"
#include "platform/win32_types.h"

struct CRegistry::OpenKeyEntry {
    RegistryHandle handle = 0;  // 0 once closed with its root
    int refCount = 0;
    std::string name;
    OpenKeyEntry* prev = nullptr;
    OpenKeyEntry* next = nullptr;
    CRegistry* owner = nullptr;  // null once the root is gone
    std::shared_ptr<CRegistryStore> store;
};

namespace {

// Enumerated names are asked for with a small buffer that doubles while it is too short; the
// registry's own limit on name length ends the doubling.
constexpr uint32_t kFirstNameCapacity = 4;
constexpr uint32_t kMaxNameCapacity = 32768;
constexpr uint32_t kValueNameCapacity = 16384;
constexpr int kQueryAttempts = 4;

uint64_t readLittleEndian(const std::vector<uint8_t>& data) { return platform::loadLE(data.data(), data.size()); }

std::vector<uint8_t> littleEndian(uint64_t value, size_t bytes) {
    std::vector<uint8_t> out;
    platform::appendLE(out, value, bytes);
    return out;
}

}  // namespace

// --- CRegistry ---

CRegistry::CRegistry() = default;

CRegistry::CRegistry(std::shared_ptr<CRegistryStore> store) : store_(std::move(store)) {}

CRegistry::~CRegistry() {
    std::lock_guard<std::mutex> lock(lock_);
    for (OpenKeyEntry* e = head_; e;) {
        OpenKeyEntry* next = e->next;
        if (e->handle) e->store->closeKey(e->handle);
        e->handle = 0;
        e->owner = nullptr;
        e->prev = e->next = nullptr;
        e = next;
    }
    head_ = tail_ = nullptr;
    count_ = 0;
}

std::shared_ptr<CRegistryStore> CRegistry::store() {
    std::lock_guard<std::mutex> lock(lock_);
    if (!store_) store_ = systemRegistryStore();
    return store_;
}

size_t CRegistry::openKeyCount() const {
    std::lock_guard<std::mutex> lock(lock_);
    return count_;
}

bool CRegistry::openKey(const std::string& path, uint32_t access, const CRegistryKey* parent, bool create,
                        CRegistryKey& key) {
    // The parent stays referenced while we work, even when key and *parent are one object.
    CRegistryKey parentRef = parent ? *parent : CRegistryKey();
    std::shared_ptr<CRegistryStore> st;
    RegistryHandle parentHandle = 0;
    if (parent) {
        if (!parentRef.target(st, parentHandle)) {
            key.close();
            return false;
        }
    } else {
        st = store();
        parentHandle = st->root();
    }
    RegistryHandle opened = 0;
    if (!openPath(*st, parentHandle, path, access, create, opened)) {
        key.close();
        return false;
    }
    size_t cut = path.find_last_of("\\/");
    key = wrap(st, opened, cut == std::string::npos ? path : path.substr(cut + 1));
    return true;
}

bool CRegistry::openPath(CRegistryStore& st, RegistryHandle parent, const std::string& path, uint32_t access,
                         bool create, RegistryHandle& key) {
    size_t sep = path.find_first_of("\\/");
    std::string first = path.substr(0, sep);
    if (first.empty()) return false;
    WString name = platform::utf8ToUtf16(first);
    RegistryHandle handle = 0;
    uint32_t rc = st.openKey(parent, name, access, handle);
    if (rc != ERROR_SUCCESS && create) rc = st.createKey(parent, name, access, handle);
    if (rc != ERROR_SUCCESS) return false;
    if (sep == std::string::npos) {
        key = handle;
        return true;
    }
    // Intermediate keys stay open only while the next level is opened below them.
    bool ok = openPath(st, handle, path.substr(sep + 1), access, create, key);
    st.closeKey(handle);
    return ok;
}

CRegistryKey CRegistry::wrap(const std::shared_ptr<CRegistryStore>& st, RegistryHandle handle,
                             const std::string& name) {
    auto* e = new OpenKeyEntry;
    e->handle = handle;
    e->refCount = 1;
    e->name = name;
    e->owner = this;
    e->store = st;
    std::lock_guard<std::mutex> lock(lock_);
    e->prev = tail_;
    if (tail_) tail_->next = e;
    else head_ = e;
    tail_ = e;
    ++count_;
    return CRegistryKey(e);
}

void CRegistry::retain(OpenKeyEntry* e) {
    std::lock_guard<std::mutex> lock(lock_);
    ++e->refCount;
}

void CRegistry::release(OpenKeyEntry* e) {
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (--e->refCount > 0) return;
        if (e->prev) e->prev->next = e->next;
        else head_ = e->next;
        if (e->next) e->next->prev = e->prev;
        else tail_ = e->prev;
        --count_;
    }
    e->store->closeKey(e->handle);
    delete e;
}

// --- CRegistryKey ---

CRegistryKey::CRegistryKey() = default;

CRegistryKey::CRegistryKey(CRegistry::OpenKeyEntry* entry) : entry_(entry) {}

CRegistryKey::~CRegistryKey() { close(); }

CRegistryKey::CRegistryKey(const CRegistryKey& other) : entry_(other.entry_) {
    if (!entry_) return;
    if (entry_->owner) entry_->owner->retain(entry_);
    else ++entry_->refCount;
}

CRegistryKey& CRegistryKey::operator=(const CRegistryKey& other) {
    CRegistryKey copy(other);  // taken before the old entry goes, so self-assignment is harmless
    std::swap(entry_, copy.entry_);
    return *this;
}

CRegistryKey::CRegistryKey(CRegistryKey&& other) noexcept : entry_(other.entry_) { other.entry_ = nullptr; }

CRegistryKey& CRegistryKey::operator=(CRegistryKey&& other) noexcept {
    if (this != &other) {
        close();
        entry_ = other.entry_;
        other.entry_ = nullptr;
    }
    return *this;
}

void CRegistryKey::close() {
    CRegistry::OpenKeyEntry* e = entry_;
    entry_ = nullptr;
    if (!e) return;
    if (e->owner) e->owner->release(e);
    else if (--e->refCount == 0) delete e;
}

bool CRegistryKey::isValid() const { return entry_ && entry_->handle != 0; }

std::string CRegistryKey::keyName() const { return entry_ ? entry_->name : std::string(); }

int CRegistryKey::useCount() const {
    if (!entry_) return 0;
    if (!entry_->owner) return entry_->refCount;
    std::lock_guard<std::mutex> lock(entry_->owner->lock_);
    return entry_->refCount;
}

bool CRegistryKey::target(std::shared_ptr<CRegistryStore>& store, RegistryHandle& handle) const {
    if (!isValid()) return false;
    store = entry_->store;
    handle = entry_->handle;
    return true;
}

bool CRegistryKey::openSubKey(const std::string& path, uint32_t access, bool create, CRegistryKey& key) const {
    if (!isValid() || !entry_->owner) {
        key.close();
        return false;
    }
    return entry_->owner->openKey(path, access, this, create, key);
}

CRegistryKey CRegistryKey::openSubKeyByIndex(uint32_t index, uint32_t access) const {
    std::shared_ptr<CRegistryStore> st;
    RegistryHandle h = 0;
    if (!target(st, h) || !entry_->owner) return CRegistryKey();
    WString name;
    uint32_t capacity = kFirstNameCapacity;
    uint32_t rc = st->enumKey(h, index, capacity, name);
    while (rc == kRegErrorMoreData && capacity < kMaxNameCapacity) {
        capacity *= 2;
        rc = st->enumKey(h, index, capacity, name);
    }
    if (rc != ERROR_SUCCESS) return CRegistryKey();
    // Opened by its own name, not as a path: a key name may hold a '/'.
    RegistryHandle opened = 0;
    if (st->openKey(h, name, access, opened) != ERROR_SUCCESS) return CRegistryKey();
    return entry_->owner->wrap(st, opened, platform::utf16ToUtf8(name));
}

bool CRegistryKey::queryRaw(const WString& name, uint32_t& type, std::vector<uint8_t>& data) const {
    std::shared_ptr<CRegistryStore> st;
    RegistryHandle h = 0;
    if (!target(st, h)) return false;
    std::vector<uint8_t> buffer(64);
    for (int attempt = 0; attempt < kQueryAttempts; ++attempt) {
        uint32_t size = static_cast<uint32_t>(buffer.size());
        uint32_t t = 0;
        uint32_t rc = st->queryValue(h, name, t, buffer.data(), size);
        if (rc == kRegErrorMoreData) {
            buffer.resize(size);
            continue;
        }
        if (rc != ERROR_SUCCESS) return false;
        buffer.resize(size);
        type = t;
        data.swap(buffer);
        return true;
    }
    return false;
}

bool CRegistryKey::queryDword(const std::string& name, uint32_t& value, uint32_t defaultValue) const {
    return queryDword(platform::utf8ToUtf16(name), value, defaultValue);
}

bool CRegistryKey::queryDword(const WString& name, uint32_t& value, uint32_t defaultValue) const {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (queryRaw(name, type, data) && type == kRegTypeDword && data.size() == 4) {
        value = static_cast<uint32_t>(readLittleEndian(data));
        return true;
    }
    value = defaultValue;
    return false;
}

bool CRegistryKey::queryString(const WString& name, WString& value, const WString& defaultValue) const {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (!queryRaw(name, type, data) || type != kRegTypeSz) {
        value = defaultValue;
        return false;
    }
    WString text = platform::loadUtf16LE(data.data(), data.size() / 2);
    value = text.substr(0, text.find(u'\0'));
    return true;
}

bool CRegistryKey::queryQword(const std::string& name, uint64_t& value, uint64_t defaultValue) const {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (queryRaw(platform::utf8ToUtf16(name), type, data) && (type == kRegTypeQword || type == kRegTypeBinary) &&
        data.size() == 8) {
        value = readLittleEndian(data);
        return true;
    }
    value = defaultValue;
    return false;
}

bool CRegistryKey::queryQword(const WString& name, uint64_t& value, uint64_t defaultValue) const {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (queryRaw(name, type, data) && type == kRegTypeQword && data.size() == 8) {
        value = readLittleEndian(data);
        return true;
    }
    value = defaultValue;
    return false;
}

bool CRegistryKey::setRaw(const WString& name, uint32_t type, const uint8_t* data, uint32_t size) {
    std::shared_ptr<CRegistryStore> st;
    RegistryHandle h = 0;
    if (!target(st, h)) return false;
    return st->setValue(h, name, type, data, size) == ERROR_SUCCESS;
}

bool CRegistryKey::setDword(const std::string& name, uint32_t value) {
    return setDword(platform::utf8ToUtf16(name), value);
}

bool CRegistryKey::setDword(const WString& name, uint32_t value) {
    std::vector<uint8_t> bytes = littleEndian(value, 4);
    return setRaw(name, kRegTypeDword, bytes.data(), 4);
}

bool CRegistryKey::setQword(const std::string& name, uint64_t value) {
    return setQword(platform::utf8ToUtf16(name), value);
}

bool CRegistryKey::setQword(const WString& name, uint64_t value) {
    std::vector<uint8_t> bytes = littleEndian(value, 8);
    return setRaw(name, kRegTypeQword, bytes.data(), 8);
}

bool CRegistryKey::setString(const WString& name, const WString& value) {
    std::vector<uint8_t> bytes;
    platform::appendUtf16LE(bytes, value + u'\0');
    return setRaw(name, kRegTypeSz, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool CRegistryKey::setBinary(const WString& name, const std::vector<uint8_t>& data) {
    return setRaw(name, kRegTypeBinary, data.data(), static_cast<uint32_t>(data.size()));
}

bool CRegistryKey::valueName(uint32_t index, WString& name) const {
    std::shared_ptr<CRegistryStore> st;
    RegistryHandle h = 0;
    if (!target(st, h)) return false;
    return st->enumValue(h, index, kValueNameCapacity, name) == ERROR_SUCCESS;
}

bool CRegistryKey::deleteValue(const WString& name) {
    std::shared_ptr<CRegistryStore> st;
    RegistryHandle h = 0;
    if (!target(st, h)) return false;
    return st->deleteValue(h, name) == ERROR_SUCCESS;
}

bool CRegistryKey::deleteValueByIndex(uint32_t index) {
    WString name;
    return valueName(index, name) && deleteValue(name);
}

bool CRegistryKey::deleteSubKey(const std::string& name) {
    std::shared_ptr<CRegistryStore> st;
    RegistryHandle h = 0;
    if (!target(st, h) || name.empty()) return false;
    return st->deleteKey(h, platform::utf8ToUtf16(name)) == ERROR_SUCCESS;
}
