// A worker process killed between two files: a child stops and starts engines on a volume, each
// stop saving the position, and is killed while it waits at the start of a file. The resume info
// on disk is then the whole file of the last stop, and a new engine goes on from there.
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "config/registry_store.h"
#include "platform/dfrg_exception.h"
#include "fixtures.h"

using namespace smarttest;

namespace {

constexpr size_t kFilesPerRun = 25;
constexpr size_t kFilesBeforeKill = 90;

int g_report = -1;  // child: where messages go
int g_allow = -1;   // child: one byte per file it may begin
std::atomic<size_t> g_runFiles{0};

// A message: a kind ('F' a file begun, 'S' the position saved by a stop) and a path.
bool sendMessage(int fd, char kind, const WString& path) {
    std::string m(1, kind);
    const uint32_t n = static_cast<uint32_t>(path.size());
    m.append(reinterpret_cast<const char*>(&n), 4);
    m.append(reinterpret_cast<const char*>(path.data()), path.size() * 2);
    return write(fd, m.data(), m.size()) == static_cast<ssize_t>(m.size());
}

bool readAll(int fd, void* data, size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 60000) <= 0) return false;
        const ssize_t n = read(fd, p, size);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool receive(int fd, char& kind, WString& path) {
    uint32_t n = 0;
    if (!readAll(fd, &kind, 1) || !readAll(fd, &n, 4)) return false;
    path.assign(n, u'\0');
    return n == 0 || readAll(fd, &path[0], n * 2);
}

void childStatus(DfrgStatus status) {
    if (status.status != 6 || status.detail != 3) return;
    if (!sendMessage(g_report, 'F', status.lastFile)) _exit(3);
    char go;
    if (read(g_allow, &go, 1) != 1) _exit(4);
    // A stop that lands exactly here, as checkState raises it.
    if (++g_runFiles > kFilesPerRun) throw CDfrgException(ErrorStopRequested);
}

class WorkerKillTest : public WorkerTest {};

TEST_F(WorkerKillTest, AfterAKillBetweenTwoFilesTheLastSavedPositionIsResumed) {
    addVolume('C', makeTreeVolume(u'C', 12, 15));
    const std::vector<WString> order = walkOrder(volumes['C']);
    int reports[2], allows[2];
    ASSERT_EQ(pipe(reports), 0);
    ASSERT_EQ(pipe(allows), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(reports[0]);
        close(allows[1]);
        g_report = reports[1];
        g_allow = allows[0];
        // The child's own registry and statistics: nothing of the parent's database is shared.
        setRegistryStorePath(registry.scratchDirectory() + "/db/child.sqlite3");
        CDfrgStatistics childStatistics;
        platform::Event ended{platform::Event::Reset::Manual};
        for (;;) {
            g_runFiles = 0;
            engine e(&ended);
            e.setStatusCallback(childStatus);
            e.start(false);
            ended.wait();
            ended.reset();
            e.stop();
            if (!sendMessage(g_report, 'S', readStoredResumeInfo(statePath("resumeInfo")).resumePath)) _exit(5);
        }
    }
    close(reports[1]);
    close(allows[0]);

    std::vector<WString> begun, saved;
    char kind;
    WString path;
    while (begun.size() < kFilesBeforeKill && receive(reports[0], kind, path)) {
        if (kind == 'S') {
            saved.push_back(path);
            continue;
        }
        begun.push_back(path);
        if (begun.size() < kFilesBeforeKill) {
            ASSERT_EQ(write(allows[1], "g", 1), 1);
        }
    }
    ASSERT_EQ(begun.size(), kFilesBeforeKill);
    // The child now waits at the start of a file.
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself with " << WEXITSTATUS(status);
    while (receive(reports[0], kind, path))
        if (kind == 'S') saved.push_back(path);
    close(reports[0]);
    close(allows[1]);
    ASSERT_GE(saved.size(), 2u);

    const StoredResumeInfo stored = readStoredResumeInfo(statePath("resumeInfo"));
    ASSERT_TRUE(stored.whole);
    EXPECT_EQ(stored.resumePath, saved.back());
    const auto at = std::find(order.begin(), order.end(), stored.resumePath);
    ASSERT_NE(at, order.end());

    // This process's volume never saw the child's moves; the walk order is the same.
    newEngine();
    worker->start(false);
    ASSERT_TRUE(waitForLog("Finished Scan pass", "C:"));
    worker->stop();
    const std::vector<WString> resumed = StatusRecorder::startedFiles();
    const std::vector<WString> rest(at, order.end());
    ASSERT_GE(resumed.size(), rest.size());
    EXPECT_EQ(std::vector<WString>(resumed.begin(), resumed.begin() + static_cast<long>(rest.size())), rest);
    EXPECT_EQ(values("Finished Scan pass", "Processed", "C:"),
              std::vector<std::string>{std::to_string(stored.counters.processed + rest.size())});
}

}  // namespace
