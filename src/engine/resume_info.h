// The resume info file: where an interrupted scan pass stands, the pass counters, the retry files
// and every volume's pass counters, so that work carries across iterations, stops and restarts.
// Written to a temporary file that replaces the old one, so a reader always finds a whole file.
//
// Layout (little-endian): version (32-bit, 3); resumePath (string); the six pass counters
// (64-bit: defragged, non-defraggable, non-defraggable for pure space reasons, errors, moved,
// processed); retry overflow (1 byte); retry count (32-bit) and that many strings; volume count
// (32-bit) and per volume its drive letter (32-bit, the UTF-16 unit), passCount and
// panicPassCount (32-bit signed). A string is a 32-bit count of UTF-16 units and the units.
//
// Worker thread only.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/pass_state.h"
#include "platform/text.h"

class CDfrgContext;
class CDfrgConfig;

using CContextList = std::vector<std::unique_ptr<CDfrgContext>>;

constexpr int32_t kResumeInfoVersion = 3;

// The settings' state directory followed by "resumeInfo".
WString resumeInfoPath(const CDfrgConfig& config);

// Reads the file into the pass state (resumePath, counters, retry files) and the contexts' pass
// counters (-1 for a context without a record). True when a whole file was read; otherwise
// (missing, short, damaged, another version) resumePath is empty, the resume state cleared and
// every context's counters -1.
bool readResumeInfo(const WString& path, CPassState& state, const CContextList& contexts);
// True when every field was written and the file replaced.
bool writeResumeInfo(const WString& path, const CPassState& state, const CContextList& contexts);
