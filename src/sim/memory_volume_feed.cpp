// The memory volume's change feeds: notifications of created, grown and deleted files, delivered
// in the layout of a directory watch.
#include <algorithm>
#include <cstring>

#include "platform/last_error.h"
#include "sim/memory_volume.h"
#include "sim/memory_volume_state.h"
#include "volume/volume_change_feed.h"

using namespace memvol;

namespace {

// The most that pending notifications of one feed may take before they are dropped as an
// overflow, as the system's buffer of a directory watch does.
constexpr size_t kFeedCapacity = 1u << 20;

template <class T>
T fail(DWORD error, T result) {
    platform::setLastError(error);
    return result;
}

}  // namespace

void CMemoryVolume::State::notify(DWORD action, uint32_t id) {
    if (feeds.empty()) return;
    const WString name = pathOf(id);
    const size_t bytes = (12 + name.size() * 2 + 3) & ~size_t(3);
    for (auto& q : feeds) {
        if (!q->overflowed) {
            if (q->bytes + bytes > kFeedCapacity) {
                q->overflowed = true;
                q->records.clear();
                q->bytes = 0;
            } else {
                q->records.emplace_back(action, name);
                q->bytes += bytes;
            }
        }
        q->ready.set();
    }
}

// ---------------------------------------------------------------- change feed

class CMemoryChangeFeed : public CVolumeChangeFeed {
public:
    CMemoryChangeFeed(std::shared_ptr<CMemoryVolume> volume, std::shared_ptr<FeedQueue> queue)
        : volume_(std::move(volume)), queue_(std::move(queue)) {}

    ~CMemoryChangeFeed() override {
        std::lock_guard<std::mutex> g(volume_->lock_);
        auto& feeds = volume_->state_->feeds;
        feeds.erase(std::remove(feeds.begin(), feeds.end(), queue_), feeds.end());
    }

    Result read(void* buffer, uint32_t bufferSize, uint32_t& bytesReturned, platform::Event& stop) override {
        bytesReturned = 0;
        for (;;) {
            if (platform::Event::waitAny({&stop, &queue_->ready}) == 0) return Result::Stopped;
            std::lock_guard<std::mutex> g(volume_->lock_);
            if (volume_->state_->gone) {
                platform::setLastError(ERROR_NOT_READY);
                return Result::Failed;
            }
            FeedQueue& q = *queue_;
            q.ready.reset();
            if (q.overflowed || q.bytes > bufferSize) {
                // As the system does: when more changed than the buffer holds, all are lost.
                q.overflowed = false;
                q.records.clear();
                q.bytes = 0;
                return Result::Changes;
            }
            if (q.records.empty()) continue;
            auto* out = static_cast<uint8_t*>(buffer);
            size_t offset = 0;
            for (size_t i = 0; i < q.records.size(); ++i) {
                const WString& name = q.records[i].second;
                const size_t size = (12 + name.size() * 2 + 3) & ~size_t(3);
                auto* rec = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(out + offset);
                rec->NextEntryOffset = i + 1 < q.records.size() ? static_cast<DWORD>(size) : 0;
                rec->Action = q.records[i].first;
                rec->FileNameLength = static_cast<DWORD>(name.size() * 2);
                std::memcpy(out + offset + 12, name.data(), name.size() * 2);
                offset += size;
            }
            bytesReturned = static_cast<uint32_t>(q.bytes);
            q.records.clear();
            q.bytes = 0;
            return Result::Changes;
        }
    }

private:
    std::shared_ptr<CMemoryVolume> volume_;
    std::shared_ptr<FeedQueue> queue_;
};

std::unique_ptr<CVolumeChangeFeed> CMemoryVolume::openChangeFeed() {
    std::lock_guard<std::mutex> g(lock_);
    if (state_->gone) return fail(ERROR_NOT_READY, std::unique_ptr<CVolumeChangeFeed>());
    auto queue = std::make_shared<FeedQueue>();
    state_->feeds.push_back(queue);
    return std::make_unique<CMemoryChangeFeed>(shared_from_this(), queue);
}
