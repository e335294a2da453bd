#include "UploadJob.h"

#include "GuiHandOver.h"
#include "ShowMessage.h"
#include "UpdateDialog.h"

#include <QCoreApplication>
#include <QPointer>
#include <QProgressBar>
#include <QThread>

#include <system_error>

namespace {

const char kFlashWarning[] = "Programming flash - do not turn machine off  !!!";
const char kUploadSucceeded[] = "Upload Successfull     ";
const char kUploadFailed[] = "Failed to upload file";

// The progress bar of the running dialog and the hand-over to its thread.
// Both are set on the GUI thread before any worker starts and stay put until
// the bar goes, which the dialog never lets happen while a worker lives.
struct ProgressBinding {
    QPointer<QProgressBar> bar;
    GuiHandOver* handOver = nullptr;
};

ProgressBinding& progressBinding() {
    static ProgressBinding binding;
    return binding;
}

UploadThreadLauncher& threadLauncher() {
    static UploadThreadLauncher launcher;
    return launcher;
}

bool onGuiThread() {
    const QCoreApplication* application = QCoreApplication::instance();
    return application && QThread::currentThread() == application->thread();
}

// Runs `task` on the GUI thread and waits for it; without a bound bar there
// is no window to change and the task is dropped.
void onGui(const std::function<void()>& task) {
    if (onGuiThread()) {
        task();
        return;
    }
    if (GuiHandOver* handOver = progressBinding().handOver)
        handOver->call(task);
}

// GUI thread, the last request of every worker: the thread is only returning
// by now, so joining it cannot wait on the GUI.
void finishJob() {
    UploadJob& job = uploadJob();
    if (job.worker.joinable())
        job.worker.join();
    if (job.dialog)
        job.dialog->uploadJobEnded();
}

} // namespace

UploadJob& uploadJob() {
    static UploadJob job;
    return job;
}

void bindUploadProgressBar(QProgressBar* bar) {
    ProgressBinding& binding = progressBinding();
    binding.bar = bar;
    binding.handOver = nullptr;
    if (!bar)
        return;
    auto* handOver = new GuiHandOver(bar);
    binding.handOver = handOver;
    QObject::connect(handOver, &QObject::destroyed, [handOver] {
        if (progressBinding().handOver == handOver)
            progressBinding().handOver = nullptr;
    });
}

extern "C" int32_t progressCallback(int32_t value) {
    UploadJob& job = uploadJob();
    // One hand-over per new value: a repeat would only stall the upload.
    if (value == job.lastProgress)
        return 1;
    job.lastProgress = value;
    const bool warn = value > 95 && !job.FlashWarningShown;
    if (warn)
        job.FlashWarningShown = true;
    UpdateDialog* dialog = job.dialog;
    onGui([value, warn, dialog] {
        if (QProgressBar* bar = progressBinding().bar)
            bar->setValue(value);
        if (warn && dialog)
            dialog->setInfoLine(QString::fromLatin1(kFlashWarning));
    });
    return 1;
}

int uploadWorker() {
    UploadJob& job = uploadJob();
    job.FlashWarningShown = false;
    job.lastProgress = -1;
    progressCallback(1);

    int32_t result = 0;
    if (job.targetCount > 0)
        result = DllUploadFileToDevices(job.targetCount, job.targets, job.path.constData(), progressCallback);
    else
        result = DllUploadFile(job.targets[0], job.path.constData(), progressCallback);

    // Exactly 1 is success; the box is the main dialog's, and this thread
    // waits here until the technician has closed it.
    if (result == 1)
        ShowMessage(QString::fromLatin1(kUploadSucceeded), MessageIcon::Information);
    else
        ShowMessage(QString::fromLatin1(kUploadFailed), MessageIcon::Stop);

    if (job.FlashWarningShown) {
        UpdateDialog* dialog = job.dialog;
        onGui([dialog] {
            if (dialog)
                dialog->showFileInformation();
        });
        job.FlashWarningShown = false;
    }
    progressCallback(0);

    // Nothing of the job is touched after this.
    if (GuiHandOver* handOver = progressBinding().handOver)
        handOver->post(finishJob);
    return 0;
}

bool startUploadWorker() {
    UploadJob& job = uploadJob();
    // The worker's last request joins it; without a way to the GUI thread
    // nobody would, and a second worker must never share the record.
    if (job.worker.joinable() || !progressBinding().handOver)
        return false;
    try {
        // The platform's default stack: the worker runs the library's whole
        // upload, the message relay and Qt's string code.
        if (const UploadThreadLauncher& launcher = threadLauncher())
            job.worker = launcher(uploadWorker);
        else
            job.worker = std::thread(uploadWorker);
    } catch (const std::system_error&) {
        return false;
    }
    return job.worker.joinable();
}

bool uploadRunning() {
    return uploadJob().worker.joinable();
}

void setUploadThreadLauncher(UploadThreadLauncher launcher) {
    threadLauncher() = std::move(launcher);
}
