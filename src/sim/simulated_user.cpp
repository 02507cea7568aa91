#include "sim/simulated_user.h"

#include <cstdlib>
#include <string>

#include "logging/log.h"

CSimulatedUser::CSimulatedUser(std::shared_ptr<CMemoryVolume> volume, uint32_t periodMs) : volume_(std::move(volume)) {
    if (periodMs == 0) return;
    writer_ = std::thread([this, periodMs] {
        setLogThreadName("SimulatedUser");
        do {
            writeRound();
        } while (!stop_.wait(periodMs));
    });
}

CSimulatedUser::~CSimulatedUser() {
    stop_.set();
    if (writer_.joinable()) writer_.join();
}

bool CSimulatedUser::enabled() {
    const char* value = std::getenv("VELKARIS_SIMULATED_USER");
    return value && *value && std::string(value) != "0";
}

uint32_t CSimulatedUser::writeRound() {
    LogScope scope("SimulatedUser");
    const WString root = WString(1, volume_->driveLetter()) + u":\\Simulated user";
    volume_->createDirectory(root);  // fails harmlessly once it exists
    ++round_;
    const uint32_t clusterBytes = volume_->geometry().bytesPerCluster;
    WString names[2];
    HANDLE files[2];
    for (int i = 0; i < 2; ++i) {
        names[i] = root + u"\\document " + platform::utf8ToUtf16(std::to_string(round_) + (i ? "b" : "a") + ".dat");
        files[i] = volume_->createFile(names[i], GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    }
    // Growing side by side, each file's pieces end up between the other's.
    for (int step = 0; step < 4; ++step)
        for (HANDLE f : files)
            if (f != INVALID_HANDLE_VALUE) volume_->appendToFile(f, 24ull * clusterBytes);
    uint32_t written = 0;
    for (int i = 0; i < 2; ++i) {
        if (files[i] == INVALID_HANDLE_VALUE) continue;
        volume_->closeHandle(files[i]);
        ++written;
        LogMessage(scope, LogPriority::Informal).text("Simulated user wrote a file").prop("FileName", platform::utf16ToUtf8(names[i]));
    }
    // An older document grows again.
    if (round_ > 1) {
        WString older = root + u"\\document " + platform::utf8ToUtf16(std::to_string(round_ - 1) + "a.dat");
        HANDLE f = volume_->createFile(older, GENERIC_WRITE, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
        if (f != INVALID_HANDLE_VALUE) {
            volume_->appendToFile(f, 16ull * clusterBytes);
            volume_->closeHandle(f);
            ++written;
            LogMessage(scope, LogPriority::Informal).text("Simulated user wrote a file").prop("FileName", platform::utf16ToUtf8(older));
        }
    }
    return written;
}
