// What every fuzz target shares: a scratch directory of its own that is current while the
// target runs (so "..\state\" and every relative path stay inside it), a registry database and
// product key inside it, and the input as a file when the reader under test takes a path.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/text.h"

namespace fuzz {

// Made once per process; "<scratch>/work" is the current directory afterwards.
const std::string& scratchDirectory();
// Writes the bytes to a file in the scratch directory and returns its path.
std::string writeInput(const char* name, const uint8_t* data, size_t size);
WString widePath(const std::string& path);

// Sets a value of any type, as a damaged or hand-edited registry may hold it, below the product
// key ("" for the product key itself).
void setRawValue(const std::string& subKey, const WString& name, uint32_t type, const uint8_t* data, size_t size);
// Removes the product key's whole tree.
void clearProductKey();

}  // namespace fuzz
