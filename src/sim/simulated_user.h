// A simulated user for demonstrations: while a simulated volume is open, it writes a few files
// now and then the way a user's programs do (two files growing side by side, so both end up
// fragmented, and an older file growing again), so that the engine's change tracking has
// something to take. Switched on by the environment variable VELKARIS_SIMULATED_USER (any value
// but "0"); never on a real volume.
#pragma once
#include <memory>
#include <thread>

#include "platform/event.h"
#include "sim/memory_volume.h"

class CSimulatedUser {
public:
    static constexpr uint32_t kPeriodMs = 10000;

    // Starts writing at once, every `periodMs`.
    explicit CSimulatedUser(std::shared_ptr<CMemoryVolume> volume, uint32_t periodMs = kPeriodMs);
    // Stops and waits for the writer.
    ~CSimulatedUser();
    CSimulatedUser(const CSimulatedUser&) = delete;
    CSimulatedUser& operator=(const CSimulatedUser&) = delete;

    // One round of writing (the writer thread calls it every period); returns the files written.
    uint32_t writeRound();

    static bool enabled();

private:
    std::shared_ptr<CMemoryVolume> volume_;
    platform::Event stop_{platform::Event::Reset::Manual};
    uint32_t round_ = 0;
    std::thread writer_;
};
