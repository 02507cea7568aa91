// File by file, what the engine does: the resumable walk over a volume's directory tree, and
// for each file the choice between making it contiguous, moving it to a better place and moving
// it towards the start of the volume. Keeps the pass counters, the statistics and the progress
// records. Worker thread only.
#pragma once
#include <cstdint>

#include "engine/pass_state.h"
#include "platform/text.h"
#include "volume/dfrg_context.h"

// Processes one file or directory (full path: drive letter, colon, backslash-separated
// components). `flag` is carried for callers and has no effect. touchedOut, when given, receives
// 1 when the file was defragmented or moved, else 0.
//
// Returns false only when the free-space snapshot cannot be made or a move strategy reports
// failure; true otherwise, also for a file that was skipped. The errors that are normal on a live
// volume (the file is gone, in use or denied, the name is bad) are swallowed silently; other
// CDfrgException codes are logged ("Error during processFile.") and swallowed too, except a stop
// request (-2) and an unavailable volume (-1), which pass on. currentPath is set to the path
// whenever the call ends normally or by a swallowed error.
//
// Benchmark runs are not supported by this build: the setting is reported once at priority 700
// and cleared, and the run goes on as an ordinary one.
bool processFile(CPassState& state, CDfrgContext& context, const WString& path, bool flag, uint32_t* touchedOut,
                 bool isDirectory);

// Walks `dir` (no trailing backslash; "C:" alone is the root) depth-first in the order the file
// system lists it, each directory processed before its contents. With a resumePath the walk skips
// the entries of dir up to the one named by its last component, which is processed again unless
// skipResumeEntry is set. Unless noAscend is set, the walk then climbs into each parent directory
// and goes on after the directory it came from, so an interrupted pass resumes with
// walkDirectory(directory of resumePath, resumePath, false, false). Stop requests and an
// unavailable volume pass on as CDfrgException; processFile's result is not looked at.
void walkDirectory(CPassState& state, CDfrgContext& context, const WString& dir, const WString& resumePath,
                   bool skipResumeEntry, bool noAscend);
