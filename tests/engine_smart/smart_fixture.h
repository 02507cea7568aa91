// The state machine run iteration by iteration on the test's thread, over memory volumes.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>

#include "config/dfrg_config.h"
#include "config/dfrg_statistics.h"
#include "config/product_key.h"
#include "engine/defrag_smart.h"
#include "engine/volume_mode.h"
#include "logging/log_manager.h"
#include "support/capture_appender.h"
#include "support/config_test_registry.h"
#include "support/engine_state_support.h"
#include "volume/dfrg_context.h"

class SmartTest : public ::testing::Test {
protected:
    void SetUp() override {
        log = CaptureAppender::install();
        smarttest::StatusRecorder::reset();
        statistics = std::make_unique<CDfrgStatistics>();
    }
    void TearDown() override {
        smart.reset();
        contexts.clear();
        config.reset();
        statistics.reset();
        smarttest::StatusRecorder::reset();
        LogManager::shutdown();
    }

    void addVolume(char letter, std::shared_ptr<CMemoryVolume> volume) {
        volumes[letter] = volume;
        provider->add(letter, std::move(volume));
    }
    // The worker's set-up: the settings, a context per enabled volume, then begin().
    void build(const WString& serviceDirectory = u"X:\\service") {
        overrideVolumeProvider(provider);
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
    int count(const std::string& text, const std::string& volume = std::string()) const {
        int n = 0;
        for (const auto& e : log->entries()) {
            if (e.text != text) continue;
            if (volume.empty()) ++n;
            else
                for (const auto& p : e.properties)
                    if (p.name == "Volume" && p.value == volume) ++n;
        }
        return n;
    }
    // The values of a property in every message with the text, in order.
    std::vector<std::string> values(const std::string& text, const std::string& property) const {
        std::vector<std::string> out;
        for (const auto& e : log->entries())
            if (e.text == text)
                for (const auto& p : e.properties)
                    if (p.name == property) out.push_back(p.value);
        return out;
    }
    std::string statePath(const std::string& name) const { return registry.scratchDirectory() + "/state/" + name; }
    void setModeAge(char16_t letter, double days) {
        CRegistry root;
        CRegistryKey key;
        ASSERT_TRUE(root.openKey(productKeyPath(), kRegKeyAllAccess, nullptr, false, key));
        const uint64_t ticks = static_cast<uint64_t>(days * 864000000000.0);
        key.setQword(u"volumeModeTime_" + WString(1, letter), platform::fileTimeNow() - ticks);
    }

    ScopedTestRegistry registry;
    smarttest::FakeClocks clocks;
    CaptureAppender* log = nullptr;
    std::unique_ptr<CDfrgStatistics> statistics;
    std::shared_ptr<smarttest::MemoryVolumeProvider> provider = std::make_shared<smarttest::MemoryVolumeProvider>();
    std::map<char, std::shared_ptr<CMemoryVolume>> volumes;
    std::unique_ptr<CDfrgConfig> config;
    CContextList contexts;
    CPassState state;
    std::unique_ptr<CDefragSmart> smart;
};
