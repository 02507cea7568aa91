// The worker on its own thread, started and stopped through the engine, over memory volumes.
#pragma once
#include <gtest/gtest.h>

#include <functional>

#include "config/dfrg_statistics.h"
#include "engine/engine.h"
#include "logging/log_manager.h"
#include "platform/event.h"
#include "support/capture_appender.h"
#include "support/config_test_registry.h"
#include "support/engine_state_support.h"
#include "volume/dfrg_file.h"
#include "volume/simulated_volume.h"
#include "volume/volume_provider.h"

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        log = CaptureAppender::install();
        smarttest::StatusRecorder::reset();
        statistics = std::make_unique<CDfrgStatistics>();
        overrideVolumeProvider(provider);
    }
    void TearDown() override {
        worker.reset();
        statistics.reset();
        smarttest::StatusRecorder::reset();
        LogManager::shutdown();
    }

    void addVolume(char letter, std::shared_ptr<CMemoryVolume> volume) {
        volumes[letter] = volume;
        provider->add(letter, std::move(volume));
    }
    // A new engine (and settings), as the controller makes one.
    void newEngine() {
        worker.reset();
        worker = std::make_unique<engine>(&ended);
        worker->setStatusCallback(&smarttest::StatusRecorder::callback);
    }
    int count(const std::string& text, const std::string& volume = std::string()) const {
        int n = 0;
        for (const auto& e : log->entries()) {
            if (e.text != text) continue;
            bool match = volume.empty();
            for (const auto& p : e.properties)
                if (p.name == "Volume" && p.value == volume) match = true;
            n += match ? 1 : 0;
        }
        return n;
    }
    bool waitForLog(const std::string& text, const std::string& volume = std::string(), int times = 1) {
        return smarttest::eventually([&] { return count(text, volume) >= times; });
    }
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
    std::string statePath(const std::string& name) const { return registry.scratchDirectory() + "/state/" + name; }

    // Every entry of a volume in the order a full walk visits them.
    static std::vector<WString> walkOrder(const std::shared_ptr<CMemoryVolume>& memory) {
        CSimulatedVolume volume(memory, nullptr, [](uint32_t) {});
        std::vector<WString> out;
        std::function<void(const WString&)> walk = [&](const WString& dir) {
            std::vector<CDirEntry> entries;
            listDirectory(volume, dir, entries, true);
            for (const CDirEntry& e : entries) {
                out.push_back(dir + u"\\" + e.name);
                if (e.isDirectory) walk(dir + u"\\" + e.name);
            }
        };
        walk(WString{memory->driveLetter(), u':'});
        return out;
    }

    ScopedTestRegistry registry;
    smarttest::FakeClocks clocks{true};
    CaptureAppender* log = nullptr;
    std::unique_ptr<CDfrgStatistics> statistics;
    std::shared_ptr<smarttest::MemoryVolumeProvider> provider = std::make_shared<smarttest::MemoryVolumeProvider>();
    std::map<char, std::shared_ptr<CMemoryVolume>> volumes;
    platform::Event ended{platform::Event::Reset::Manual};
    std::unique_ptr<engine> worker;
};
