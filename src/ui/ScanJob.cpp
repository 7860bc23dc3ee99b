#include "ui/ScanJob.h"

#include <QObject>

namespace lorvex::ui {

namespace {

thread_local TScanJob* tRunningJob = nullptr;

} // namespace

void TScanJob::Stop() {
    {
        // Under the lock, so that a waiter between its test and its wait
        // cannot miss the wake-up.
        const std::lock_guard lock(FMutex);
        FStopped.store(true);
    }
    FWake.notify_all();
}

void TScanJob::ThrowIfStopped() const {
    if (Stopped()) {
        throw TScanStopped();
    }
}

bool TScanJob::CallAndWait(QObject* context, std::function<void()> work) {
    auto done = std::make_shared<bool>(false);
    QMetaObject::invokeMethod(
        context,
        [self = shared_from_this(), done, work = std::move(work)] {
            if (!self->Stopped()) {
                work();
            }
            {
                const std::lock_guard lock(self->FMutex);
                *done = true;
            }
            self->FWake.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(FMutex);
    FWake.wait(lock, [&] { return *done || Stopped(); });
    return *done && !Stopped();
}

TScanJob* TScanJob::Current() {
    return tRunningJob;
}

TScanJob::TRunning::TRunning(TScanJob& job) {
    tRunningJob = &job;
}

TScanJob::TRunning::~TRunning() {
    tRunningJob = nullptr;
}

} // namespace lorvex::ui
