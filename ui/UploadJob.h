// The upload job: the process-wide record of the current or last upload, the
// process-wide progress bar the library's callback moves, the callback itself
// and the worker thread that runs one job. The worker never touches a widget:
// every change on screen is a blocking hand-over to the GUI thread.
#pragma once

#include "devlib/TestDll.h"

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <thread>

class QProgressBar;
class UpdateDialog;

constexpr int kMaxUploadTargets = 40;

// Filled by the GUI thread before the worker starts and read by the worker
// afterwards; the worker writes only FlashWarningShown and lastProgress.
struct UploadJob {
    int32_t targets[kMaxUploadTargets] = {};
    int32_t targetCount = 0; // 0: the first target alone, through the open serial port
    QByteArray path;         // the file box's text, encoded as the library takes paths
    UpdateDialog* dialog = nullptr;
    bool FlashWarningShown = false;
    int32_t lastProgress = -1; // the value the bar was last given
    std::thread worker;        // GUI thread only: started by a command, joined as the job ends
};

UploadJob& uploadJob();

// GUI thread, at dialog start: the bar the callback moves, and with it the
// way from a worker to the thread that owns the bar. Both go with the bar.
void bindUploadProgressBar(QProgressBar* bar);

// The library's progress callback, a plain C function since the library
// hands it no context: moves the bar and, above 95, puts the flash warning on
// the info line once per job. Returns 1.
extern "C" int32_t progressCallback(int32_t value);

// The worker procedure: runs the job in uploadJob() and returns 0.
int uploadWorker();

// GUI thread. Starts a worker for the job as filled in; false (and nothing
// started) when no thread could be created or a worker is still unjoined.
bool startUploadWorker();

// GUI thread: a worker was started and has not been joined yet.
bool uploadRunning();

// How worker threads are created; tests replace it (a launcher that throws
// std::system_error stands for a system out of threads). Empty: std::thread.
using UploadThreadLauncher = std::function<std::thread(int (*)())>;
void setUploadThreadLauncher(UploadThreadLauncher launcher);
