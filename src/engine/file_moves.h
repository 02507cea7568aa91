// The three move strategies applied to one open file: make a fragmented file contiguous, move a
// contiguous file into a run that fits it more tightly, or move it into the free run directly in
// front of it. Each chooses its target from the context's free-space snapshot, moves through the
// file's move operations, brings the snapshot up to date over the clusters concerned and checks
// that the file really ended up in one piece.
//
// Contract shared by all three: `extents` is the file's extent list as last read; on return it
// holds the file's extents as read after the last move (or as given when nothing was moved). The
// out flag tells whether the file was improved. A move the file system refuses is no exception:
// it counts as an error in the pass counters, the snapshot is refreshed over the ranges the move
// concerned (never rebuilt whole: nothing else can have changed), and the file is not tried
// again in this pass. Exceptions of the volume layer (a stop request, a volume that went away)
// pass through. Without a snapshot in the context nothing is moved. Worker thread only.
#pragma once
#include "engine/pass_state.h"
#include "volume/dfrg_file.h"

// The physically separate pieces of a file: records whose clusters follow on from the record
// before count as one piece. A file's extent list can hold such records (its runs are merged
// only within one answer of the file system), and a file moved whole into one run must count as
// contiguous however its list is split.
size_t countFragments(const CFileExtentList& extents);

// Moves a fragmented file whole into the best-fitting free run: twice at that run, once more at
// the next best while the file system answers that the target was not free; any other refusal
// is final. A file for which no run is large enough is counted Non-Defraggable and named in the
// log, and also "because of pure space reasons" when even all free space outside the run already
// tried exceeds it by fewer than 4096 clusters; otherwise it waits for room (see the pass state)
// and, during a scan pass, goes on the retry files list. Always true.
bool defragFile(CPassState& state, CDfrgContext& context, CDfrgFile& file, CFileExtentList& extents, bool& defragged);

// Moves a contiguous file into the free run that ends right in front of it, when that is asked
// for ("DoMoveLeft") or when the gap and the free run behind the file become one: into the gap in
// one move when it fits there, else by a shift in steps of at most the gap when the gap is not
// too small for the file. A file is never parked elsewhere first (that would move it twice).
// Always true.
bool moveToLeftBorder(CPassState& state, CDfrgContext& context, CDfrgFile& file, CFileExtentList& extents, bool& moved);

// Moves a contiguous file that touches free space into the smallest run that holds it, when
// that run is no larger than the hole the move leaves, is not a neighbour of the file, and the
// move gains: fewer free runs, a larger largest free run, or, while a fragmented file waits for
// room, free space brought together. A file that splits a free area in two and has no such run is handed to
// moveToLeftBorder, whose result is returned. Otherwise always true.
bool moveToBetterPlace(CPassState& state, CDfrgContext& context, CDfrgFile& file, CFileExtentList& extents,
                       bool& moved);
