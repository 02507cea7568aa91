// A registry store that passes every call to another store and records it, and that can be told
// to fail the creation of a key of a given name.
#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "config/registry_store.h"
#include "platform/text.h"

class RecordingRegistryStore : public CRegistryStore {
public:
    explicit RecordingRegistryStore(std::shared_ptr<CRegistryStore> inner) : inner_(std::move(inner)) {}

    // Names of the values set, of the keys created, and of all other changes, in call order.
    std::vector<std::string> setValues() const { return copy(setValues_); }
    std::vector<std::string> createdKeys() const { return copy(createdKeys_); }
    std::vector<std::string> deletions() const { return copy(deletions_); }
    int openHandles() const { return opened_.load() - closed_.load(); }
    int closedHandles() const { return closed_.load(); }
    void clear() {
        std::lock_guard<std::mutex> lock(lock_);
        setValues_.clear();
        createdKeys_.clear();
        deletions_.clear();
    }
    // createKey of this name (compared exactly) fails with access denied.
    void failCreateOf(const std::string& name) {
        std::lock_guard<std::mutex> lock(lock_);
        failCreate_ = name;
    }

    RegistryHandle root() override { return inner_->root(); }
    uint32_t openKey(RegistryHandle parent, const WString& name, uint32_t access, RegistryHandle& key) override {
        uint32_t rc = inner_->openKey(parent, name, access, key);
        if (rc == 0) ++opened_;
        return rc;
    }
    uint32_t createKey(RegistryHandle parent, const WString& name, uint32_t access, RegistryHandle& key) override {
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (!failCreate_.empty() && platform::utf16ToUtf8(name) == failCreate_) return 5;
            createdKeys_.push_back(platform::utf16ToUtf8(name));
        }
        uint32_t rc = inner_->createKey(parent, name, access, key);
        if (rc == 0) ++opened_;
        return rc;
    }
    void closeKey(RegistryHandle key) override {
        ++closed_;
        inner_->closeKey(key);
    }
    uint32_t enumKey(RegistryHandle key, uint32_t index, uint32_t capacity, WString& name) override {
        return inner_->enumKey(key, index, capacity, name);
    }
    uint32_t enumValue(RegistryHandle key, uint32_t index, uint32_t capacity, WString& name) override {
        return inner_->enumValue(key, index, capacity, name);
    }
    uint32_t queryValue(RegistryHandle key, const WString& name, uint32_t& type, uint8_t* data, uint32_t& size) override {
        return inner_->queryValue(key, name, type, data, size);
    }
    uint32_t setValue(RegistryHandle key, const WString& name, uint32_t type, const uint8_t* data, uint32_t size) override {
        record(setValues_, name);
        return inner_->setValue(key, name, type, data, size);
    }
    uint32_t deleteValue(RegistryHandle key, const WString& name) override {
        record(deletions_, name);
        return inner_->deleteValue(key, name);
    }
    uint32_t deleteKey(RegistryHandle parent, const WString& name) override {
        record(deletions_, name);
        return inner_->deleteKey(parent, name);
    }

private:
    void record(std::vector<std::string>& list, const WString& name) {
        std::lock_guard<std::mutex> lock(lock_);
        list.push_back(platform::utf16ToUtf8(name));
    }
    std::vector<std::string> copy(const std::vector<std::string>& list) const {
        std::lock_guard<std::mutex> lock(lock_);
        return list;
    }

    std::shared_ptr<CRegistryStore> inner_;
    mutable std::mutex lock_;
    std::vector<std::string> setValues_;
    std::vector<std::string> createdKeys_;
    std::vector<std::string> deletions_;
    std::string failCreate_;
    std::atomic<int> opened_{0};
    std::atomic<int> closed_{0};
};
