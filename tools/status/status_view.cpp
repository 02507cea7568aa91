#include "status_view.h"

#include "config/product_key.h"
#include "config/registry.h"

namespace statusview {

std::string statusName(int32_t status) {
    switch (status) {
    case 1: return "paused";
    case 3: return "working";
    case 4: return "all volumes clean, following changes";
    case 5: return "no work";
    default: return "starting";
    }
}

std::string skipReasonName(uint32_t reason) {
    return reason == 1 ? "solid-state drive, left alone (defragSolidState is not 1)" : std::to_string(reason);
}

ServiceProgress readProgress(const std::string& volumes) {
    ServiceProgress p;
    CRegistry registry;
    CRegistryKey product;
    if (!registry.openKey(productKeyPath(), kRegKeyRead, nullptr, false, product)) return p;
    CRegistryKey statistics, complete;
    if (product.openSubKey("statistics", kRegKeyRead, false, statistics)) {
        p.known = true;
        statistics.queryQword(std::string("Processed Files"), p.processed, 0);
        statistics.queryQword(std::string("Defragged Files"), p.defragged, 0);
        statistics.queryQword(std::string("Moved Files"), p.moved, 0);
        uint32_t status = 0;
        statistics.queryDword(std::string("Status"), status, 0);
        p.status = static_cast<int32_t>(status);
        WString last;
        if (statistics.queryString(u"Last File", last, WString())) p.lastFile = platform::utf16ToUtf8(last);
        if (statistics.openSubKey("complete", kRegKeyRead, false, complete)) {
            complete.queryQword(std::string("Processed Files"), p.totalProcessed, 0);
            complete.queryQword(std::string("Defragged Files"), p.totalDefragged, 0);
            complete.queryQword(std::string("Moved Files"), p.totalMoved, 0);
        }
    }
    for (char letter : volumes) {
        uint32_t mode = 0;
        bool stored = product.queryDword(std::string("volumeMode_") + letter, mode, 0);
        p.modes.emplace_back(letter, stored ? static_cast<int32_t>(mode) : -1);
        uint32_t reason = 0;
        if (product.queryDword(std::string("volumeSkipped_") + letter, reason, 0) && reason) p.skipped.emplace_back(letter, reason);
    }
    return p;
}

}  // namespace statusview
