// Helpers for tests of the volume layer: small memory volumes with files placed at chosen
// clusters, a context over them, a controllable tick, and a watch on device controls.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "volume/dfrg_context.h"
#include "volume/dfrg_volume_common.h"
#include "sim/memory_volume.h"
#include "sim/simulated_volume.h"

namespace voltest {

using Run = CMemoryVolume::Run;
constexpr uint64_t V = CMemoryVolume::kVirtualLcn;

std::shared_ptr<CMemoryVolume> makeVolume(uint64_t clusters, const WString& fileSystem = u"NTFS",
                                          const WString& label = u"Test");

// A file with these runs; its size is its clusters (compressed/sparse: whole units). Fails the
// test when the volume refuses it.
void placeFile(CMemoryVolume& volume, const WString& path, const std::vector<Run>& runs, DWORD attributes = 0);
// Marks clusters used by a file that owns exactly them.
inline void fillClusters(CMemoryVolume& v, const WString& path, uint64_t lcn, uint64_t n) { placeFile(v, path, {{lcn, n}}); }
std::vector<Run> runsOfFile(CMemoryVolume& volume, const WString& path);
// Physically separate pieces of a run list.
uint64_t piecesOf(const std::vector<Run>& runs);
// That a call failed (its result says so) with this last error.
testing::AssertionResult failedWith(bool succeeded, DWORD error);
inline testing::AssertionResult failedWith(HANDLE h, DWORD error) { return failedWith(h != INVALID_HANDLE_VALUE, error); }
// That `action` throws the error with this code (and this message unless it is null).
void expectDfrgError(const std::function<void()>& action, int code, const char* message = nullptr);
// Waits (up to 60 s) for a condition another thread brings about.
bool eventually(const std::function<bool()>& condition);

// The input of every device control with this code, in order; the volume still answers them.
template <class Input>
std::shared_ptr<std::vector<Input>> watchControl(CMemoryVolume& volume, DWORD code) {
    auto seen = std::make_shared<std::vector<Input>>();
    volume.answerControl(code, [&volume, code, seen](HANDLE h, const void* in, DWORD inSize, void* out, DWORD outSize,
                                                     DWORD* returned) {
        seen->push_back(*static_cast<const Input*>(in));
        return volume.deviceIoControl(h, code, in, inSize, out, outSize, returned);
    });
    return seen;
}

// A context over a memory volume, with the process's clock in the test's hands (advance's default
// lets the next checkState poll the events).
class ContextFixture {
public:
    explicit ContextFixture(std::shared_ptr<CMemoryVolume> volume, CDfrgVolumeSettings settings = {});

    CDfrgContext& context() { return *context_; }
    void advance(uint32_t ms = 1000) { clock.tick_ += ms; }

    FakeClock clock;

private:
    std::unique_ptr<CDfrgContext> context_;
};

// The free runs of a snapshot as (start, end) pairs.
std::vector<std::pair<uint64_t, uint64_t>> runsOf(CDfrgContext& context);

}  // namespace voltest
