// The link between the window and a scanning thread: a call on the window's
// thread that the scanning thread waits for, and a stop that ends the wait
// without it, so that a window letting go of a scan never waits on a thread
// that waits on the window.
#include "ui/ScanJob.h"

#include <QCoreApplication>
#include <QObject>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>

namespace {

using lorvex::ui::TScanJob;
using lorvex::ui::TScanStopped;

class ScanJobTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "lorvex_scanjob_tests";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
    }

    // Lets the posted calls through until `until` holds, for at most a few
    // seconds.
    template <typename Predicate> static bool PumpUntil(Predicate until) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!until()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return true;
    }

    QObject window_;
};

TEST_F(ScanJobTest, TheCallRunsOnTheWindowThreadAndTheScanWaitsForIt) {
    const auto job = std::make_shared<TScanJob>();
    std::atomic<bool> ranOnWindowThread{false};
    std::future<bool> answer = std::async(std::launch::async, [&] {
        return job->CallAndWait(
            &window_, [&] { ranOnWindowThread = QThread::currentThread() == window_.thread(); });
    });
    // Nothing runs, and the scanning thread keeps waiting, until the window
    // lets events through.
    EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    ASSERT_TRUE(PumpUntil(
        [&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_TRUE(answer.get());
    EXPECT_TRUE(ranOnWindowThread);
}

TEST_F(ScanJobTest, AStopEndsTheWaitAndTheCallNeverRuns) {
    const auto job = std::make_shared<TScanJob>();
    std::atomic<bool> ran{false};
    std::promise<void> posting;
    std::future<bool> answer = std::async(std::launch::async, [&] {
        posting.set_value();
        return job->CallAndWait(&window_, [&] { ran = true; });
    });
    posting.get_future().wait();
    // The window thread lets no event through: the stop alone ends the wait.
    job->Stop();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(answer.get());
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);

    // Once stopped, a call returns at once and runs nothing.
    EXPECT_FALSE(job->CallAndWait(&window_, [&] { ran = true; }));
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
}

TEST_F(ScanJobTest, AStoppedJobThrowsOnItsThreadAndIsCurrentOnlyThere) {
    const auto job = std::make_shared<TScanJob>();
    EXPECT_NO_THROW(job->ThrowIfStopped());
    std::async(std::launch::async, [&] {
        const TScanJob::TRunning running(*job);
        EXPECT_EQ(TScanJob::Current(), job.get());
        job->Stop();
        EXPECT_THROW(job->ThrowIfStopped(), TScanStopped);
    }).get();
    EXPECT_EQ(TScanJob::Current(), nullptr);
    EXPECT_TRUE(job->Stopped());
}

} // namespace
