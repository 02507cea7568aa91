// The resume info file; one that reads whole must write back.
#include "engine/resume_info.h"
#include "fuzz_support.h"
#include "volume/dfrg_context.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = fuzz::writeInput("resumeInfo", data, size);
    CPassState state;
    CContextList contexts;
    if (readResumeInfo(fuzz::widePath(path), state, contexts)) writeResumeInfo(fuzz::widePath(path + ".out"), state, contexts);
    return 0;
}
