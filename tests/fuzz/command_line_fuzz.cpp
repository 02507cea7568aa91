// Arguments split at zero bytes, through the option matcher, the control-code reader and the
// dispatcher against a service control manager in memory (a foreground run is never started).
#include <string>
#include <vector>

#include "../service/service_fakes.h"
#include "service/service.h"

namespace {
class ProbeService : public CService {
public:
    explicit ProbeService(ServiceControlApi& api) : CService(api) {}
    std::string serviceName() const override { return "VelkarisFuzzService"; }
    void serviceWork(int, char**) override {}
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FakeServiceControl scm;
    static ProbeService service(scm);
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size && args.size() < 16; ++i) {
        if (data[i] == 0) args.emplace_back();
        else args.back() += static_cast<char>(data[i]);
    }
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(&a[0]);
        CService::matchOption(argv.back());
        CService::parseControlCode(argv.back());
    }
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    if (CService::isCommandInvocation(argc, argv.data())) {
        scm.installed = (size & 1) != 0;
        scm.state = 1;
        service.dispatch(argc, argv.data());
    }
    return 0;
}
