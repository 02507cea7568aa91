// PNG files of RGB images, through libpng.
#pragma once
#include <string>

#include "report/cluster_map.h"

namespace report {

// Writes (replacing) an 8-bit RGB PNG. False with a reason in error when it cannot.
bool writePng(const std::string& path, const RgbImage& image, std::string& error);

}  // namespace report
