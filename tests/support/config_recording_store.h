// A registry store that passes every call on and records the changes; it can fail creating a key of a name.
#pragma once
#include <string>
#include <vector>

#include "config/registry_store.h"
#include "platform/text.h"

class RecordingRegistryStore : public CRegistryStore {
public:
    explicit RecordingRegistryStore(std::shared_ptr<CRegistryStore> inner) : inner_(std::move(inner)) {}

    std::vector<std::string> changes;  // "set <value>", "create <key>", "delete <key or value>"
    int opened = 0, closed = 0;
    std::string failCreateOf;  // createKey of this name fails with access denied

    RegistryHandle root() override { return inner_->root(); }
    uint32_t openKey(RegistryHandle parent, const WString& name, uint32_t access, RegistryHandle& key) override {
        return counted(inner_->openKey(parent, name, access, key));
    }
    uint32_t createKey(RegistryHandle parent, const WString& name, uint32_t access, RegistryHandle& key) override {
        if (platform::utf16ToUtf8(name) == failCreateOf) return 5;
        return counted(record("create ", name, inner_->createKey(parent, name, access, key)));
    }
    void closeKey(RegistryHandle key) override { ++closed, inner_->closeKey(key); }
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
        return record("set ", name, inner_->setValue(key, name, type, data, size));
    }
    uint32_t deleteValue(RegistryHandle key, const WString& name) override {
        return record("delete ", name, inner_->deleteValue(key, name));
    }
    uint32_t deleteKey(RegistryHandle parent, const WString& name) override {
        return record("delete ", name, inner_->deleteKey(parent, name));
    }

private:
    uint32_t record(const char* what, const WString& name, uint32_t rc) {
        changes.push_back(what + platform::utf16ToUtf8(name));
        return rc;
    }
    uint32_t counted(uint32_t rc) {
        opened += rc == 0;
        return rc;
    }
    std::shared_ptr<CRegistryStore> inner_;
};
