#include "engine/resume_info.h"

#include "config/dfrg_config.h"
#include "platform/state_file.h"
#include "volume/dfrg_context.h"

WString resumeInfoPath(const CDfrgConfig& config) { return config.stateDirectory() + u"resumeInfo"; }

namespace {

struct VolumeRecord {
    uint32_t letter;
    int32_t passCount;
    int32_t panicPassCount;
};

bool readFile(const WString& path, WString& resumePath, CPassCounters& counters, bool& overflow,
              std::vector<WString>& retryFiles, std::vector<VolumeRecord>& volumes) {
    platform::StateFileReader in;
    int32_t version = 0;
    if (!in.open(path) || !in.readI32(version) || version != kResumeInfoVersion) return false;
    if (!in.readWString(resumePath)) return false;
    if (!in.readU64(counters.defragged) || !in.readU64(counters.nonDefraggable) ||
        !in.readU64(counters.nonDefraggablePureSpace) || !in.readU64(counters.errors) || !in.readU64(counters.moved) ||
        !in.readU64(counters.processed))
        return false;
    int32_t retryCount = 0;
    if (!in.readBool(overflow) || !in.readI32(retryCount)) return false;
    if (retryCount < 0 || static_cast<size_t>(retryCount) > CPassState::kMaxRetryFiles) return false;
    for (int32_t i = 0; i < retryCount; ++i) {
        WString file;
        if (!in.readWString(file)) return false;
        retryFiles.push_back(std::move(file));
    }
    int32_t volumeCount = 0;
    if (!in.readI32(volumeCount) || volumeCount < 0) return false;
    for (int32_t i = 0; i < volumeCount; ++i) {
        VolumeRecord r{};
        if (!in.readU32(r.letter) || !in.readI32(r.passCount) || !in.readI32(r.panicPassCount)) return false;
        volumes.push_back(r);
    }
    return true;
}

}  // namespace

bool readResumeInfo(const WString& path, CPassState& state, const CContextList& contexts) {
    WString resumePath;
    CPassCounters counters;
    bool overflow = false;
    std::vector<WString> retryFiles;
    std::vector<VolumeRecord> volumes;
    const bool ok = readFile(path, resumePath, counters, overflow, retryFiles, volumes);

    for (const auto& context : contexts) context->resetPassCounters();
    if (!ok) {
        state.resumePath.clear();
        state.clearResumeState();
        return false;
    }
    state.resumePath = std::move(resumePath);
    state.counters = counters;
    state.retryOverflow = overflow;
    state.retryFiles = std::move(retryFiles);
    // Records of drives without a context are dropped.
    for (const VolumeRecord& r : volumes)
        for (const auto& context : contexts)
            if (context->volume().driveLetter() == r.letter) {
                context->setPassCount(r.passCount);
                context->setPanicPassCount(r.panicPassCount);
                break;
            }
    return true;
}

bool writeResumeInfo(const WString& path, const CPassState& state, const CContextList& contexts) {
    platform::StateFileWriter out;
    const CPassCounters& c = state.counters;
    bool ok = out.open(path) && out.writeI32(kResumeInfoVersion) && out.writeWString(state.resumePath) &&
              out.writeU64(c.defragged) && out.writeU64(c.nonDefraggable) && out.writeU64(c.nonDefraggablePureSpace) &&
              out.writeU64(c.errors) && out.writeU64(c.moved) && out.writeU64(c.processed) &&
              out.writeBool(state.retryOverflow) && out.writeI32(static_cast<int32_t>(state.retryFiles.size()));
    for (size_t i = 0; ok && i < state.retryFiles.size(); ++i) ok = out.writeWString(state.retryFiles[i]);
    ok = ok && out.writeI32(static_cast<int32_t>(contexts.size()));
    for (size_t i = 0; ok && i < contexts.size(); ++i) {
        CDfrgContext& context = *contexts[i];
        ok = out.writeU32(context.volume().driveLetter()) && out.writeI32(context.passCount()) &&
             out.writeI32(context.panicPassCount());
    }
    return ok && out.commit();
}
