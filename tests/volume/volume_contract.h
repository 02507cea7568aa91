// The contract every implementation of the volume interface keeps, as one suite that each
// implementation instantiates with a subject: a volume and, on it, a directory holding a
// subdirectory "sub" and a file "file.bin" of 8192 bytes.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "volume/dfrg_volume.h"

struct ContractSubject {
    virtual ~ContractSubject() = default;
    virtual std::unique_ptr<CDfrgVolume> openVolume() = 0;
    // Makes a new file on the volume, as another program would.
    virtual void writeFile(const WString& path, uint64_t bytes) = 0;
    WString dir;              // full path, without a trailing backslash
    WString watchedDir;       // where a new file shows in the change feed (full path)
    WString watchedRelative;  // watchedDir relative to the volume root, as change records name it
};

using ContractParam = std::function<std::unique_ptr<ContractSubject>()>;

class VolumeContract : public testing::TestWithParam<ContractParam> {
protected:
    void SetUp() override {
        subject = GetParam()();
        volume = subject->openVolume();
    }
    std::unique_ptr<ContractSubject> subject;
    std::unique_ptr<CDfrgVolume> volume;
};
