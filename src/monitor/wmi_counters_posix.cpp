// Linux only: there is no WMI; every call fails, so a WMI sampler cannot be built.
#include "monitor/wmi_counters.h"

namespace monitor {

namespace {

class NoWmi : public WmiCounters {
public:
    HResult initialiseCom() override { return kResultNotImplemented; }
    HResult initialiseSecurity() override { return kResultNotImplemented; }
    HResult createLocator() override { return kResultNotImplemented; }
    HResult connect(const WString&) override { return kResultNotImplemented; }
    HResult createRefresher() override { return kResultNotImplemented; }
    HResult configureRefresher() override { return kResultNotImplemented; }
    HResult addEnum(const WString&, int32_t&) override { return kResultNotImplemented; }
    HResult removeEnum(int32_t) override { return kResultNotImplemented; }
    HResult refresh() override { return kResultNotImplemented; }
    HResult objects(int32_t, std::vector<WmiObjectRef>&) override { return kResultNotImplemented; }
};

}  // namespace

std::unique_ptr<WmiCounters> systemWmiCounters() { return std::make_unique<NoWmi>(); }

}  // namespace monitor
