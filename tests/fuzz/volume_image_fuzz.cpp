// Images and their journal: the geometry probe and the full open (state plus replay).
#include "fuzz_support.h"
#include "sim/volume_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = fuzz::writeInput("C.vimg", data, size);
    CMemoryVolume::Geometry geometry;
    CVolumeImage::readGeometry(path, geometry);
    std::string error;
    auto image = CVolumeImage::open(path, u'C', error);
    return 0;
}
