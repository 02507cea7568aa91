// Holds the service paused through its pause pipe.
//
//   velkaris-pause [SECONDS] [--pipe NAME]
//
// Without SECONDS the hold lasts until Enter is pressed, standard input ends, or the program is
// interrupted (Ctrl+C, SIGTERM); with SECONDS it ends after that time. The hold ends by closing
// the connection. Exit codes: 0 the hold was taken and released, 1 no service listens, 2 bad
// arguments.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/event.h"
#include "service/console_stop.h"
#include "service/pause_pipe.h"

namespace {
const char kUsage[] = "usage: velkaris-pause [SECONDS] [--pipe NAME]\n";
}  // namespace

int main(int argc, char** argv) {
    std::string pipe = kPausePipeName;
    long seconds = -1;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--pipe" && i + 1 < argc) {
            pipe = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            char* end = nullptr;
            seconds = std::strtol(arg.c_str(), &end, 10);
            if (arg.empty() || !end || *end || seconds < 0) {
                std::fprintf(stderr, "velkaris-pause: not a number of seconds: %s\n%s", arg.c_str(), kUsage);
                return 2;
            }
        }
    }

    CPausePipeClient client;
    if (!client.connect(pipe)) {
        std::fprintf(stderr, "velkaris-pause: no service listens on %s\n", pipe.c_str());
        return 1;
    }
    platform::Event done(platform::Event::Reset::Manual);
    CConsoleStop consoleStop([&] { done.set(); });
    std::printf("holding the pause%s\n", seconds < 0 ? " until Enter is pressed" : "");
    std::fflush(stdout);
    if (seconds >= 0) {
        done.wait(static_cast<uint32_t>(seconds) * 1000u);
    } else {
        // Standard input is read on its own thread so that a signal can end the hold too.
        std::thread reader([&] {
            std::getchar();
            done.set();
        });
        reader.detach();
        done.wait();
    }
    bool lost = client.serverGone(0);
    client.close();
    std::printf(lost ? "the service went away during the hold\n" : "released\n");
    return 0;
}
