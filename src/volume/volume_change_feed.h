// Notifications of changed files on a volume, as a stream of FILE_NOTIFY_INFORMATION records
// (action and name relative to the volume root), the way ReadDirectoryChangesW delivers them for
// the whole tree with the file-name and size filter.
//
// One reader thread at a time. A feed may outlive the volume object that opened it.
#pragma once
#include <cstdint>

#include "platform/event.h"

class CVolumeChangeFeed {
public:
    enum class Result {
        Changes,  // records were delivered (bytesReturned 0: more changed than fitted, all lost)
        Stopped,  // the stop event was signalled before anything arrived
        Failed,   // the feed has ended for good; the last error says why
    };

    virtual ~CVolumeChangeFeed() = default;

    // Waits until changes arrive or `stop` is signalled, then writes the records collected since
    // the previous read into buffer (DWORD aligned, the last with NextEntryOffset 0).
    virtual Result read(void* buffer, uint32_t bufferSize, uint32_t& bytesReturned, platform::Event& stop) = 0;
};
