// The state machine run iteration by iteration on the test's thread (SmartTest), and the worker
// on its own thread through the engine (WorkerTest), over memory volumes, with the registry,
// state directory, statistics and log of the test.
#pragma once
#include <gtest/gtest.h>

#include <functional>

#include "config/dfrg_config.h"
#include "volume/provider_selection.h"
#include "config/dfrg_statistics.h"
#include "config/product_key.h"
#include "engine/defrag_smart.h"
#include "engine/engine.h"
#include "engine/volume_mode.h"
#include "logging/log_manager.h"
#include "support/capture_appender.h"
#include "support/config_test_registry.h"
#include "support/engine_state_support.h"
#include "volume/dfrg_context.h"
#include "volume/dfrg_file.h"
#include "sim/simulated_volume.h"

class EngineTestBase : public ::testing::Test {
protected:
    void SetUp() override {
        log = CaptureAppender::install();
        smarttest::StatusRecorder::reset();
        statistics = std::make_unique<CDfrgStatistics>();
        overrideVolumeProvider(provider);
    }
    void TearDown() override {
        release();
        statistics.reset();
        smarttest::StatusRecorder::reset();
        LogManager::shutdown();
    }
    // Ends what runs on the volumes before the registry and state directory go.
    virtual void release() {}

    void addVolume(char letter, std::shared_ptr<CMemoryVolume> volume) {
        volumes[letter] = volume;
        provider->add(letter, std::move(volume));
    }
    // The values of a property in the messages with the text (and the volume, when given).
    std::vector<std::string> values(const std::string& text, const std::string& property,
                                    const std::string& volume = std::string()) const {
        std::vector<std::string> out;
        for (const auto& e : log->entries()) {
            if (e.text != text) continue;
            std::string value;
            bool match = volume.empty();
            for (const auto& p : e.properties) {
                if (p.name == property) value = p.value;
                if (p.name == "Volume" && p.value == volume) match = true;
            }
            if (match) out.push_back(value);
        }
        return out;
    }
    int count(const std::string& text, const std::string& volume = std::string()) const {
        return static_cast<int>(values(text, "Volume", volume).size());
    }
    bool waitForLog(const std::string& text, const std::string& volume = std::string()) {
        return smarttest::eventually([&] { return count(text, volume) > 0; });
    }
    std::string statePath(const std::string& name) const { return registry.scratchDirectory() + "/state/" + name; }

    ScopedTestRegistry registry;
    CaptureAppender* log = nullptr;
    std::unique_ptr<CDfrgStatistics> statistics;
    std::shared_ptr<smarttest::MemoryVolumeProvider> provider = std::make_shared<smarttest::MemoryVolumeProvider>();
    std::map<char, std::shared_ptr<CMemoryVolume>> volumes;
};

class SmartTest : public EngineTestBase {
protected:
    void release() override {
        smart.reset();
        contexts.clear();
        config.reset();
    }
    // The worker's set-up: the settings, a context per enabled volume, then begin().
    void build(const WString& serviceDirectory = u"X:\\service") {
        config = std::make_unique<CDfrgConfig>();
        CDfrgVolumeSettings settings;
        settings.stateDirectory = config->stateDirectory();
        for (int i = 0; char letter = config->getEnabledVolume(i); ++i)
            contexts.push_back(std::make_unique<CDfrgContext>(provider->openVolume(letter), i, settings));
        state.statusCallback = &smarttest::StatusRecorder::callback;
        state.config = config.get();
        smart = std::make_unique<CDefragSmart>(state, contexts, *config, serviceDirectory);
        smart->begin();
    }
    CDfrgContext& context(char letter) {
        for (auto& c : contexts)
            if (c->volume().driveLetter() == static_cast<char16_t>(letter)) return *c;
        throw std::runtime_error("no context");
    }
    void setModeAge(char16_t letter, double days) {
        CRegistry root;
        CRegistryKey key;
        ASSERT_TRUE(root.openKey(productKeyPath(), kRegKeyAllAccess, nullptr, false, key));
        key.setQword(u"volumeModeTime_" + WString(1, letter),
                     platform::fileTimeNow() - static_cast<uint64_t>(days * 864000000000.0));
    }

    smarttest::FakeClocks clocks;
    std::unique_ptr<CDfrgConfig> config;
    CContextList contexts;
    CPassState state;
    std::unique_ptr<CDefragSmart> smart;
};

class WorkerTest : public EngineTestBase {
protected:
    void release() override { worker.reset(); }
    // A new engine (and settings), as the controller makes one.
    void newEngine() {
        worker.reset();
        worker = std::make_unique<engine>(&ended);
        worker->setStatusCallback(&smarttest::StatusRecorder::callback);
    }
    // Every entry of a volume in the order a whole walk visits them.
    static std::vector<WString> walkOrder(const std::shared_ptr<CMemoryVolume>& memory) {
        CSimulatedVolume volume(memory, nullptr, [](uint32_t) {});
        std::vector<WString> out;
        std::function<void(WString)> walk = [&](WString dir) {
            std::vector<CDirEntry> entries;
            listDirectory(volume, dir, entries, true);
            for (const CDirEntry& e : entries) {
                out.push_back(dir + u"\\" + e.name);
                if (e.isDirectory) walk(out.back());
            }
        };
        walk(WString{memory->driveLetter(), u':'});
        return out;
    }

    // Every checkState looks at the events, so that a stop lands within the file at hand.
    smarttest::FakeClocks clocks{true};
    platform::Event ended{platform::Event::Reset::Manual};
    std::unique_ptr<engine> worker;
};
