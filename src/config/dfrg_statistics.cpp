#include "config/dfrg_statistics.h"

#include <cstdio>
#include <string>
#include <vector>

#include "config/product_key.h"

namespace {

std::mutex g_instanceLock;
CDfrgStatistics* g_instance = nullptr;

constexpr int64_t kTicksPerDay = 864000000000LL;  // 100-ns units
constexpr int64_t kMaxAgeDays = 7;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

// Leading decimal digits of a piece of the name, 0 without any.
int leadingNumber(const std::string& text) {
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        v = v * 10 + (c - '0');
    }
    return v;
}

// The day a daily key stands for, in 100-ns units since 1970 at 0:00; false when the name is not
// a date (such keys are never aged).
bool parseDayKey(const std::string& name, int64_t& time) {
    if (name.size() != 10) return false;
    int y = leadingNumber(name.substr(0, 4));
    int m = leadingNumber(name.substr(5, 2));
    int d = leadingNumber(name.substr(8, 2));
    if (y < 1601 || m < 1 || m > 12 || d < 1 || d > daysInMonth(y, m)) return false;
    time = daysFromCivil(y, m, d) * kTicksPerDay;
    return true;
}

int64_t localTimeTicks(const platform::LocalTime& t) {
    int64_t seconds = t.hour * 3600LL + t.minute * 60LL + t.second;
    return daysFromCivil(t.year, t.month, t.day) * kTicksPerDay + seconds * 10000000LL + t.millisecond * 10000LL;
}

std::string formatDay(const platform::LocalTime& t) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04i-%02i-%02i", t.year, t.month, t.day);
    return buffer;
}

}  // namespace

CDfrgStatistics::CDfrgStatistics() {
    std::lock_guard<std::mutex> lock(g_instanceLock);
    g_instance = this;
}

CDfrgStatistics::CDfrgStatistics(Fallback) {}

CDfrgStatistics::~CDfrgStatistics() {
    {
        std::lock_guard<std::mutex> lock(g_instanceLock);
        if (g_instance == this) g_instance = nullptr;
    }
    // The keys go before the root that holds them.
    dailyKey_.close();
    completeKey_.close();
    statisticsKey_.close();
}

CDfrgStatistics& CDfrgStatistics::instance() {
    CDfrgStatistics* s = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_instanceLock);
        s = g_instance;
    }
    if (!s) {
        static CDfrgStatistics fallback{Fallback{}};
        s = &fallback;
    }
    s->ensureLoaded();
    return *s;
}

void CDfrgStatistics::ensureLoaded() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (loaded_) return;
    std::string path = productKeyPath() + "\\statistics";
    if (registry_.openKey(path, kRegKeyAllAccess, nullptr, true, statisticsKey_)) {
        statisticsKey_.openSubKey("complete", kRegKeyAllAccess, true, completeKey_);
    }
    readCounters(statisticsKey_, current_, false);
    readCounters(completeKey_, complete_, false);
    dailyCheck();
    loaded_ = true;
}

void CDfrgStatistics::readCounters(const CRegistryKey& key, Counters& counters, bool acceptBinary) {
    if (acceptBinary) {
        key.queryQword(std::string("Processed Files"), counters.processed, 0);
        key.queryQword(std::string("Moved Files"), counters.moved, 0);
        key.queryQword(std::string("Defragged Files"), counters.defragged, 0);
    } else {
        key.queryQword(WString(u"Processed Files"), counters.processed, 0);
        key.queryQword(WString(u"Moved Files"), counters.moved, 0);
        key.queryQword(WString(u"Defragged Files"), counters.defragged, 0);
    }
}

void CDfrgStatistics::writeCounters(CRegistryKey& key, const Counters& counters) {
    key.setQword("Processed Files", counters.processed);
    key.setQword("Moved Files", counters.moved);
    key.setQword("Defragged Files", counters.defragged);
}

void CDfrgStatistics::dailyCheck() {
    platform::LocalTime now = platform::localTime();
    std::string today = formatDay(now);
    if (!dailyKey_.isValid()) {
        openDailyKey(today);
    } else if (dailyKey_.keyName() != today) {
        // The day has changed: what was counted so far belongs to the old day.
        writeCounters(dailyKey_, daily_);
        daily_ = Counters();
        dailyKey_.close();
        openDailyKey(today);
    }
    cleanupDailyKeys(now);
}

void CDfrgStatistics::openDailyKey(const std::string& today) {
    // A key already stored under today's name (an earlier run of the day) is continued.
    if (statisticsKey_.openSubKey("daily\\" + today, kRegKeyAllAccess, true, dailyKey_))
        readCounters(dailyKey_, daily_, true);
}

void CDfrgStatistics::cleanupDailyKeys(const platform::LocalTime& now) {
    CRegistryKey dailyRoot;
    if (!statisticsKey_.openSubKey("daily", kRegKeyRead, false, dailyRoot)) return;
    int64_t nowTicks = localTimeTicks(now);
    // Names first, deletions after: deleting while enumerating by index would skip keys.
    std::vector<std::string> expired;
    for (uint32_t i = 0;; ++i) {
        CRegistryKey day = dailyRoot.openSubKeyByIndex(i, kRegKeyRead);
        if (!day.isValid()) break;
        std::string name = day.keyName();
        int64_t dayTicks = 0;
        if (parseDayKey(name, dayTicks) && (nowTicks - dayTicks) / kTicksPerDay > kMaxAgeDays) expired.push_back(name);
    }
    for (const std::string& name : expired) dailyRoot.deleteSubKey(name);
}

void CDfrgStatistics::addProcessed(uint32_t count) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    ensureLoaded();
    current_.processed += count;
    daily_.processed += count;
    complete_.processed += count;
}

void CDfrgStatistics::addMoved(uint32_t count) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    ensureLoaded();
    current_.moved += count;
    daily_.moved += count;
    complete_.moved += count;
}

void CDfrgStatistics::addDefragged(uint32_t count) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    ensureLoaded();
    current_.defragged += count;
    daily_.defragged += count;
    complete_.defragged += count;
}

void CDfrgStatistics::setStatus(int32_t status) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    ensureLoaded();
    if (status == status_) return;
    status_ = status;
    statusChanged_ = true;
}

void CDfrgStatistics::setActive(bool active) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    ensureLoaded();
    int32_t wanted = active ? 1 : 3;
    if (status_ == 4 || status_ == wanted) return;
    status_ = wanted;
    statusChanged_ = true;
}

int32_t CDfrgStatistics::getStatus() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return status_;
}

void CDfrgStatistics::setLastFile(const WString& path) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    ensureLoaded();
    lastFile_ = path;
    lastFileChanged_ = true;
}

void CDfrgStatistics::save(bool force) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    ensureLoaded();
    uint32_t now = platform::tickCount();
    uint32_t elapsed = platform::tickElapsed(lastSave_, now);
    if (!force && elapsed <= minSaveInterval_) return;
    if (elapsed > dailyCheckInterval_) dailyCheck();
    if (lastFileChanged_) statisticsKey_.setString(u"Last File", lastFile_);
    if (statusChanged_) statisticsKey_.setDword("Status", static_cast<uint32_t>(status_));
    writeCounters(statisticsKey_, current_);
    writeCounters(dailyKey_, daily_);
    writeCounters(completeKey_, complete_);
    statusChanged_ = false;
    lastFileChanged_ = false;
    lastSave_ = now;
}

void CDfrgStatistics::resetCurrent() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    ensureLoaded();
    current_ = Counters();
    save(true);
}

void CDfrgStatistics::resetAll() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    ensureLoaded();
    while (statisticsKey_.deleteValueByIndex(0)) {
    }
    current_ = Counters();
    daily_ = Counters();
    complete_ = Counters();
}

CDfrgStatistics::Counters CDfrgStatistics::current() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    ensureLoaded();
    return current_;
}

CDfrgStatistics::Counters CDfrgStatistics::daily() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    ensureLoaded();
    return daily_;
}

CDfrgStatistics::Counters CDfrgStatistics::complete() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    ensureLoaded();
    return complete_;
}

WString CDfrgStatistics::lastFile() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return lastFile_;
}
