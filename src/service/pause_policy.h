// The pause policy: whether the engine may work now. A running engine pauses at the first sign
// of a busy machine; a paused engine resumes only after ten seconds in which nothing spoke
// against running. The operating-system queries and the load sampler sit behind narrow
// interfaces, so that every rule can be exercised with fakes.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "monitor/agent_reports.h"

enum PauseReason : int32_t {
    PauseNone = -1,
    PauseMouseInput = 0,
    PauseKeyboardInput = 1,
    PauseUserInterrupt = 2,
    PauseBattery = 4,
    PauseFullScreenNotScreenSaver = 5,
    PausePrinter = 6,
    PauseCPUUsage = 7,
    PauseIOActivity = 8,
    PauseNewProcess = 9,
    PausePageActivity = 10,
};

// "MouseInput", ..., or the value in decimal.
std::string pauseReasonName(int32_t reason);

// The last three samples of one load measure. -1.0 means "not known".
class CSampleHistory {
public:
    static constexpr int kCapacity = 3;
    void add(double value);
    // -1.0 when any stored value is unknown, 0.0 when empty, else the mean.
    double mean() const;
    int count() const { return count_; }

private:
    double values_[kCapacity] = {0, 0, 0};
    int position_ = 0;
    int count_ = 0;
    bool full_ = false;
};

// What the policy asks of the load sampler.
class LoadSampler {
public:
    virtual ~LoadSampler() = default;
    virtual double getCPUUsage() = 0;
    virtual double getIOLoad(int level) = 0;
    virtual double getPageLoad(int level) = 0;
    virtual bool isWMI() = 0;
    virtual bool isNewProcess() = 0;
    virtual bool isPrinting() = 0;
    virtual double getFullscreenProcessCPUUsage() = 0;
};

// What the policy asks of the operating system about the user.
class UserActivity {
public:
    virtual ~UserActivity() = default;
    // Tick of the last input event (GetLastInputInfo); false when unknown.
    virtual bool lastInputTime(uint32_t& tick) = 0;
    virtual bool cursorPosition(int32_t& x, int32_t& y) = 0;
    virtual bool isOnBattery() = 0;
    virtual bool hasFullscreenWindow() = 0;
    virtual bool isScreenSaverRunning() = 0;
    // The user's sessions as their agents report them: false when no agent report is fresh, and
    // the policy then asks the probes above. Takes the input changes, so only the decision asks.
    virtual bool sessionView(agent::SessionView& view) {
        (void)view;
        return false;
    }
    // The same without taking the input changes.
    virtual bool peekSessionView(agent::SessionView& view) {
        (void)view;
        return false;
    }
};

// The machine's own user-input, power and window queries, and the reports of the agents in the
// user's sessions (the process-wide store).
UserActivity& systemUserActivity();
// Makes the machine's own input, cursor and window probes fail as they do for a service in
// session 0, so that only the agents can carry what the user does (a test hook).
void setSessionZeroProbes(bool on);

class CPausePolicy {
public:
    static constexpr uint32_t kQuietPeriodMs = 10000;
    static constexpr double kPauseCpu = 20.0;
    static constexpr double kResumeCpu = 15.0;

    struct Histories {
        CSampleHistory cpu, ioStrict, ioLenient, pageStrict, pageLenient;
    };

    // `histories` outlive the policy (they are process-wide and survive restarts).
    CPausePolicy(UserActivity& activity, Histories& histories);

    // Cached settings, taken once when the engine is made.
    bool runOnBattery = false;
    bool runWhilePrinting = false;

    // Shared with the controller's other threads.
    std::atomic<bool> engineRunning{false};
    std::atomic<bool> userPause{false};
    std::atomic<int32_t> pauseReason{PauseNone};

    // One sampling step: adds the sampler's values (0.0 without a sampler) to the histories.
    void addSamples(LoadSampler* sampler);
    // The decision; updates the pause reason when it says no (unless only an unknown value
    // stood in the way of a resume). `log` writes the pause and resume texts.
    bool shouldEngineRun(LoadSampler* sampler, bool log);

    enum class Action { None, Pause, Resume };
    // The monitoring loop's decision at tick `now`: inside the quiet period only the reason and
    // the quiet period change; otherwise a logged decision that may pause or resume.
    Action step(LoadSampler* sampler, uint32_t now);
    void startQuietPeriod(uint32_t now) { lastBlock_ = now; }

    static Histories& processHistories();

private:
    UserActivity& activity_;
    Histories& histories_;
    uint32_t lastInput_ = 0;
    int32_t cursorX_ = 0;
    int32_t cursorY_ = 0;
    uint32_t lastBlock_ = 0;
};
