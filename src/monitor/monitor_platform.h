// The platform services that one load sampler uses, bundled so that a test can hand a sampler
// its own fakes.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

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

    // The machine's own services.
    static MonitorPlatform system();
};
