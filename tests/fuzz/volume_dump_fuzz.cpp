// Volume dumps: the reader, and a memory volume from every section it accepts (absurd sizes refused).
#include <sstream>

#include "platform/dfrg_exception.h"
#include "sim/image_from_dump.h"
#include "volume/volume_dump_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size), std::ios::binary);
    std::vector<volume_dump::VolumeDumpVolume> volumes;
    try {
        volumes = volume_dump::readVolumeDump(in);
    } catch (const CDfrgException&) {
        return 0;
    }
    for (const auto& v : volumes) {
        CImageFromDumpReport report;
        std::string error;
        volumeFromDump(v, report, error);
    }
    return 0;
}
