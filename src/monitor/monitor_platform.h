// The platform services that one load sampler uses, bundled so that a test can hand a sampler
// its own fakes.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "monitor/power_source.h"
#include "monitor/print_spooler.h"
#include "monitor/process_accounting.h"
#include "monitor/window_system.h"

struct MonitorPlatform {
    std::shared_ptr<monitor::ProcessAccounting> processes;
    std::shared_ptr<monitor::WindowSystem> windows;
    std::shared_ptr<monitor::PowerSource> power;
    std::shared_ptr<monitor::PrintSpooler> printers;
    // The wrapping millisecond tick of the periodic work.
    std::function<uint32_t()> tick;
    // Optional: the windowed processes of the user's sessions as their agents report them (false
    // when no agent report is fresh), and the owner of a full-screen window there (0: none).
    std::function<bool(std::vector<uint32_t>&)> sessionProcesses;
    std::function<uint32_t()> sessionFullscreenProcess;

    // The machine's own services.
    static MonitorPlatform system();
};
