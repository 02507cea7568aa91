#include "service/pause_policy.h"

#include "logging/log.h"

std::string pauseReasonName(int32_t reason) {
    switch (reason) {
    case PauseMouseInput: return "MouseInput";
    case PauseKeyboardInput: return "KeyboardInput";
    case PauseUserInterrupt: return "UserInterrupt";
    case PauseBattery: return "Battery";
    case PauseFullScreenNotScreenSaver: return "FullScreenNotScreenSaver";
    case PausePrinter: return "Printer";
    case PauseCPUUsage: return "CPUUsage";
    case PauseIOActivity: return "IOActivity";
    case PauseNewProcess: return "NewProcess";
    case PausePageActivity: return "PageActivity";
    default: return std::to_string(reason);
    }
}

void CSampleHistory::add(double value) {
    if (position_ == kCapacity) {
        position_ = 0;
        full_ = true;
    }
    if (!full_) ++count_;
    values_[position_++] = value;
}

double CSampleHistory::mean() const {
    if (count_ == 0) return 0.0;
    double sum = 0.0;
    for (int i = 0; i < count_; ++i) {
        if (values_[i] == -1.0) return -1.0;
        sum += values_[i];
    }
    return sum / count_;
}

CPausePolicy::CPausePolicy(UserActivity& activity, Histories& histories) : activity_(activity), histories_(histories) {}

CPausePolicy::Histories& CPausePolicy::processHistories() {
    static Histories histories;
    return histories;
}

void CPausePolicy::addSamples(LoadSampler* sampler) {
    if (!sampler) {
        for (CSampleHistory* h : {&histories_.ioStrict, &histories_.ioLenient, &histories_.pageStrict,
                                  &histories_.pageLenient, &histories_.cpu})
            h->add(0.0);
        return;
    }
    histories_.ioStrict.add(sampler->getIOLoad(0));
    histories_.ioLenient.add(sampler->getIOLoad(1));
    histories_.pageStrict.add(sampler->getPageLoad(0));
    histories_.pageLenient.add(sampler->getPageLoad(1));
    double cpu = sampler->getCPUUsage();
    agent::SessionView session;
    const bool saver = activity_.peekSessionView(session) ? session.screenSaver : activity_.isScreenSaverRunning();
    // The screen saver's own load is not the user's.
    if (saver && cpu != -1.0) {
        double saver = sampler->getFullscreenProcessCPUUsage();
        if (saver != -1.0) cpu -= saver;
        if (cpu < 0.0) cpu = 0.0;
    }
    histories_.cpu.add(cpu);
}

bool CPausePolicy::shouldEngineRun(LoadSampler* sampler, bool log) {
    LogScope scope("ShouldEngineRun");
    const bool running = engineRunning;
    auto say = [&](const char* text) {
        if (log && running) logText(scope, LogPriority::Informal, text);
    };

    bool inputSeen = false, mouseMoved = false;
    agent::SessionView session;
    const bool fromAgents = activity_.sessionView(session);
    if (fromAgents) {
        inputSeen = session.inputSeen;
        mouseMoved = session.mouseMoved;
    } else {
        uint32_t input = 0;
        if (activity_.lastInputTime(input) && input != lastInput_) {
            lastInput_ = input;
            inputSeen = true;
        }
        int32_t x = 0, y = 0;
        if (activity_.cursorPosition(x, y) && (x != cursorX_ || y != cursorY_)) {
            cursorX_ = x;
            cursorY_ = y;
            mouseMoved = true;
        }
    }
    if (mouseMoved) {
        pauseReason = PauseMouseInput;
        say("Pause because of mouse movement");
        return false;
    }
    if (inputSeen) {
        pauseReason = PauseKeyboardInput;
        say("Pause because of keyboard input");
        return false;
    }
    if (userPause) {
        pauseReason = PauseUserInterrupt;
        say("Pause because user said so.");
        return false;
    }
    if (!runOnBattery && activity_.isOnBattery()) {
        pauseReason = PauseBattery;
        say("Pause because we're in battery mode.");
        return false;
    }
    // An agent tells per session: a full-screen window in one session and a screen saver in
    // another still pause.
    bool fullscreen = fromAgents ? session.fullscreen : activity_.hasFullscreenWindow();
    bool saver = fromAgents ? false : activity_.isScreenSaverRunning();
    if (fullscreen && !saver) {
        pauseReason = PauseFullScreenNotScreenSaver;
        say("Pause because FullScreenWindow and not ScreenSaver");
        return false;
    }
    if (sampler && sampler->isPrinting() && !runWhilePrinting) {
        pauseReason = PausePrinter;
        say("Pause because printing");
        return false;
    }

    if (running) {
        if (!sampler) return true;
        // The WMI measure is the disk's busy time, which includes the engine's own I/O.
        double io = sampler->isWMI() ? 0.0 : histories_.ioLenient.mean();
        double cpu = histories_.cpu.mean();
        if (cpu != -1.0 && cpu > kPauseCpu) {
            pauseReason = PauseCPUUsage;
            if (log) LogMessage(scope, LogPriority::Informal).text("Pause because of cpuUsage").prop("CPUUsage", cpu);
            return false;
        }
        if (io != -1.0 && io >= 1.0) {
            pauseReason = PauseIOActivity;
            if (log) LogMessage(scope, LogPriority::Informal).text("Pause because of I/O activity").prop("I/O Activity", io);
            return false;
        }
        return true;
    }

    double cpu = 0.0, io = 0.0, paging = 0.0;
    if (sampler) {
        cpu = histories_.cpu.mean();
        io = histories_.ioStrict.mean();
        paging = histories_.pageStrict.mean();
    }
    if (cpu != -1.0 && io != -1.0 && paging != -1.0 && io < 1.0 && paging < 1.0 && cpu < kResumeCpu) {
        if (sampler && sampler->isNewProcess()) {
            pauseReason = PauseNewProcess;
            return false;
        }
        if (log) LogMessage(scope, LogPriority::Informal).text("Resuming").prop("CPUUsage", cpu).prop("I/O Activity", io);
        return true;
    }
    if (paging != -1.0 && paging >= 1.0) pauseReason = PausePageActivity;
    if (io >= 1.0) pauseReason = PauseIOActivity;
    if (cpu >= kResumeCpu) pauseReason = PauseCPUUsage;
    return false;
}

CPausePolicy::Action CPausePolicy::step(LoadSampler* sampler, uint32_t now) {
    uint32_t elapsed = now - lastBlock_;
    if (!engineRunning && elapsed < kQuietPeriodMs) {
        if (!shouldEngineRun(sampler, false)) lastBlock_ = now;
        return Action::None;
    }
    bool run = shouldEngineRun(sampler, true);
    if (!run) lastBlock_ = now;
    if (!run && engineRunning) return Action::Pause;
    if (run && !engineRunning) return Action::Resume;
    return Action::None;
}
