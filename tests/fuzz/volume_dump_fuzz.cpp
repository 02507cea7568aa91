// Volume dumps: the reader, and a memory volume from every section it accepts (absurd sizes refused).
#include <sstream>

#include "platform/dfrg_exception.h"
#include "sim/image_from_dump.h"
#include "volume/volume_dump_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size), std::ios::binary);
    try {
        for (const auto& v : volume_dump::readVolumeDump(in)) {
            CImageFromDumpReport report;
            std::string error;
            volumeFromDump(v, report, error);
        }
    } catch (const CDfrgException&) {
    }
    return 0;
}
