// The Sony driver against a real command FIFO, with this test as the Sony process reading it.
#include "camera/cam_sony.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "core/sandbox.h"
#include "support/testSupport.h"

namespace {

using Values = std::vector<int32_t>;

// The read end of the command FIFO, opened as the Sony process opens it.
class SonyReader {
public:
    explicit SonyReader(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_NONBLOCK)) {
        EXPECT_GE(fd_, 0) << strerror(errno);
    }
    ~SonyReader() { close(fd_); }

    // Everything written so far: the driver writes synchronously, so it is all in the FIFO.
    Values drain() {
        Values out;
        int32_t v;
        ssize_t n;
        while ((n = read(fd_, &v, sizeof v)) == static_cast<ssize_t>(sizeof v)) out.push_back(v);
        EXPECT_LE(n, 0) << "partial command value";
        return out;
    }

private:
    int fd_;
};

class SonyDriver : public ::testing::Test {
protected:
    vt::TempDir root;
    std::string fifo = root / "var/run/vornSonyMsg.fifo";

    void SetUp() override {
        signal(SIGPIPE, SIG_IGN); // as the daemon does: a reader gone is a failed write
        setenv("VORN_ROOT", root.path().c_str(), 1);
        sandboxInit();
        vt::makeDirs(root / "var/run");
        sony_reset();
    }
    void TearDown() override {
        sony_reset();
        unsetenv("VORN_ROOT");
        sandboxInit();
    }
    // The Sony process was started first and holds the FIFO open.
    void makeFifo() { ASSERT_EQ(mkfifo(fifo.c_str(), 0700), 0); }
    int trigger() { return trigger_sony(nullptr, nullptr, -1, 1, 1); }
};

} // namespace

TEST_F(SonyDriver, FirstCommandAsksForStillModeBeforeItsOwnValue) {
    makeFifo();
    SonyReader sony(fifo);
    zoomin_sony();
    EXPECT_EQ(sony.drain(), (Values{4, 1}));
    zoomout_sony();
    zoomstop_sony();
    EXPECT_EQ(sony.drain(), (Values{2, 3}));
}

TEST_F(SonyDriver, MovieTriggersAlternateAndAModeRequestKeepsTheRecording) {
    makeFifo();
    SonyReader sony(fifo);
    modemovie_sony();
    EXPECT_EQ(sony.drain(), (Values{4, 5}));
    EXPECT_EQ(trigger(), 1);
    EXPECT_EQ(trigger(), 1);
    EXPECT_EQ(trigger(), 1);
    EXPECT_EQ(sony.drain(), (Values{6, 7, 6}));

    modestill_sony();
    EXPECT_EQ(trigger(), 0); // still picture while the movie state still says recording
    modemovie_sony();
    EXPECT_EQ(trigger(), 1);
    EXPECT_EQ(sony.drain(), (Values{4, 0, 5, 7}));
}

TEST_F(SonyDriver, WithoutReaderRequestsReturnAtOnceAndTheNextOneAfterItAppearsGetsThrough) {
    std::atomic<bool> done{false};
    int result = -1;
    vt::StdoutCapture log;
    std::thread camera([&] {
        zoomin_sony();
        modemovie_sony(); // dropped, so the camera stays in still mode
        result = trigger();
        done = true;
    });
    bool returned = vt::waitUntil([&] { return done.load(); }, std::chrono::seconds(5));
    std::optional<SonyReader> unblock; // lets a blocked writer go so the thread can be joined
    if (!returned) unblock.emplace(fifo);
    camera.join();
    log.release();
    ASSERT_TRUE(returned) << "a Sony request waited for a reader";
    EXPECT_EQ(result, 1);

    struct stat st {};
    ASSERT_EQ(stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(log.count("Error: Sony command FIFO " + fifo), 1u); // once per streak
    EXPECT_EQ(log.count(" dropped: no reader on the command FIFO\n"), 4u); // 4, 1, 5 and 0

    SonyReader sony(fifo);
    vt::StdoutCapture reconnect;
    zoomout_sony();
    int stillResult = trigger();
    reconnect.release();
    EXPECT_EQ(stillResult, 0);
    EXPECT_EQ(sony.drain(), (Values{2, 0}));
    EXPECT_EQ(reconnect.count("vorn-camera sony command FIFO " + fifo + " open again\n"), 1u);
}

TEST_F(SonyDriver, ReaderThatGoesAwayIsReconnectedWhenItReturns) {
    makeFifo();
    {
        SonyReader sony(fifo);
        EXPECT_EQ(trigger(), 0);
        EXPECT_EQ(sony.drain(), (Values{4, 0}));
    }
    EXPECT_EQ(trigger(), 1); // broken pipe: a failed write, and the process lives on
    zoomin_sony();           // no reader to open the FIFO again yet

    SonyReader again(fifo);
    EXPECT_EQ(trigger(), 0);
    zoomout_sony();
    EXPECT_EQ(again.drain(), (Values{0, 2}));
}
