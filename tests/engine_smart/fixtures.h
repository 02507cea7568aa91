// SmartTest runs the state machine an iteration at a time; WorkerTest runs the worker in the engine.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "config/product_key.h"
#include "engine/defrag_smart.h"
#include "engine/volume_mode.h"
#include "platform/clock.h"
#include "support/engine_state_support.h"
#include "volume/dfrg_context.h"

using namespace enginetest;

inline bool exists(const std::string& path) { return std::filesystem::exists(std::filesystem::u8path(path)); }

class EngineTestBase : public ::testing::Test, public EngineEnv {
protected:
    void addVolume(char letter, std::shared_ptr<CMemoryVolume> volume) {
        volumes[letter] = volume;
        provider->add(letter, std::move(volume));
    }
    bool waitForLog(const std::string& text, const std::string& volume = std::string()) {
        return eventually([&] { return count(text, volume) > 0; });
    }

    std::map<char, std::shared_ptr<CMemoryVolume>> volumes;
    FakeClock clock;
};

class SmartTest : public EngineTestBase {
protected:
    // The worker's set-up: the settings, a context per enabled volume, then begin().
    void build(const WString& serviceDirectory = u"X:\\service") {
        config = std::make_unique<CDfrgConfig>();
        CDfrgVolumeSettings settings;
        settings.stateDirectory = config->stateDirectory();
        for (int i = 0; char letter = config->getEnabledVolume(i); ++i)
            contexts.push_back(std::make_unique<CDfrgContext>(provider->openVolume(letter), i, settings));
        state.statusCallback = &recordStatus;
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

    std::unique_ptr<CDfrgConfig> config;
    CContextList contexts;
    CPassState state;
    std::unique_ptr<CDefragSmart> smart;
};

class WorkerTest : public EngineTestBase {
protected:
    // A new engine (and settings), as the controller makes one.
    void newEngine() {
        worker.reset();
        worker = std::make_unique<engine>(&ended);
        worker->setStatusCallback(&recordStatus);
    }

    // Every checkState looks at the events, so that a stop lands within the file at hand.
    WorkerTest() { clock.step_ = 1000; }
    platform::Event ended{platform::Event::Reset::Manual};
    std::unique_ptr<engine> worker;
};
