// update: the dialog's checks and targets from the engine, its job on the
// engine's upload controller, shown on the terminal instead of a window.
#include "cli/Commands.h"
#include "cli/JsonText.h"
#include "cli/Output.h"
#include "cli/ProgressView.h"
#include "cli/StopSignals.h"
#include "core/LibraryOperations.h"
#include "core/MessageSink.h"
#include "core/TargetResults.h"
#include "core/UpdateEngine.h"
#include "core/UploadController.h"

#include <QCoreApplication>
#include <QStringList>

#include <unistd.h>

namespace {

// The result box's details become the closing lines: one per target.
class ResultLines : public MessageSink {
public:
    explicit ResultLines(bool print) : m_print(print) {}
    void showMessage(const QString&, MessageIcon, const QString& details) override {
        if (m_print && !details.isEmpty())
            printLine(details);
    }

private:
    bool m_print;
};

QString idList(const QList<int32_t>& ids) {
    QStringList texts;
    for (const int32_t id : ids)
        texts.append(QString::number(id));
    return texts.join(QStringLiteral(", "));
}

QByteArray idArray(const QList<int32_t>& ids) {
    QByteArrayList texts;
    for (const int32_t id : ids)
        texts.append(QByteArray::number(id));
    return '[' + texts.join(',') + ']';
}

// The first Ctrl-C (or SIGTERM) cancels; a later one changes nothing.
void cancelJob(UploadController& controller, ProgressView& view, bool perDevice, const QString& program) {
    controller.cancel();
    const QList<int32_t> flashing = perDevice ? view.flashing() : QList<int32_t>();
    QString text = QStringLiteral("%1: cancelling: devices not yet programming their flash are cut off and "
                                  "keep their firmware")
                       .arg(program);
    if (!flashing.isEmpty())
        text += QStringLiteral("; waiting for the devices programming their flash: %1").arg(idList(flashing));
    else if (!perDevice)
        text += QStringLiteral("; waiting for any device already programming its flash");
    view.note(text, JsonObject().add("event", "cancel").addRaw("waiting", idArray(flashing)).text(), true);
}

} // namespace

int runUpdate(const FlashOptions& options) {
    // The file first: a refused file touches no device.
    const FileInfoResult file = UpdateEngine::checkFile(options.file);
    if (!file.valid) {
        printError(options.program, QStringLiteral("%1: %2").arg(options.file, file.line));
        return kExitUsage;
    }
    if (options.port != 0 && !UpdateEngine::openSerialPort(options.port))
        printError(options.program, QStringLiteral("cannot open com%1").arg(options.port));

    UpdateEngine engine;
    UploadPlan plan;
    if (options.all) {
        engine.refresh();
        plan = engine.planUpload(UploadCommand::AllEligible, options.file, {}, options.port);
    } else {
        plan = engine.planNamedUpload(options.file, options.devices, options.port);
    }
    if (plan.refused != PlanRefusal::None) {
        printError(options.program, plan.refusal);
        return plan.refused == PlanRefusal::NoTarget ? kExitNoTarget : kExitUsage;
    }

    const auto mode = options.json                   ? ProgressView::Mode::Json
                      : ::isatty(STDOUT_FILENO) != 0 ? ProgressView::Mode::Live
                                                     : ProgressView::Mode::Plain;
    QList<int32_t> targetIds;
    for (const TargetResult& t : plan.job.devices)
        targetIds.append(t.id);
    if (mode == ProgressView::Mode::Json) {
        printLine(JsonObject()
                      .add("event", "start")
                      .add("command", plan.job.command)
                      .add("via", plan.job.via)
                      .add("file", plan.job.file)
                      .add("info", file.line)
                      .addRaw("targets", idArray(targetIds))
                      .text());
    } else {
        printLine(file.line);
        printLine(QStringLiteral("%1 to %2 via %3").arg(plan.job.command, idList(targetIds), plan.job.via));
    }

    // Removing no observer tells whether the library reports each device at all.
    const bool perDevice = watchDeviceProgress(nullptr, nullptr);
    ProgressView view(mode, perDevice, plan.job.devices);
    if (perDevice)
        watchDeviceProgress(&ProgressView::observe, &view);

    ResultLines results(mode != ProgressView::Mode::Json);
    UploadController controller(results);
    controller.setHistoryApplication(QLatin1String(kHistoryApplication));
    StopSignals stops;
    bool cancelling = false;
    int status = kExitFailed;
    QObject::connect(&stops, &StopSignals::stopRequested, [&] {
        if (cancelling)
            return;
        cancelling = true;
        cancelJob(controller, view, perDevice, options.program);
    });
    if (!perDevice) {
        QObject::connect(&controller, &UploadController::progressChanged, &view, &ProgressView::showCombined);
        QObject::connect(&controller, &UploadController::flashWarning, &view,
                         &ProgressView::combinedFlashWarning);
    }
    QObject::connect(&controller, &UploadController::settled, [&] { view.finish(); });
    QObject::connect(&controller, &UploadController::ended, [&](const UploadResult& result) {
        if (mode == ProgressView::Mode::Json)
            printLine(result.historyEntry);
        status = result.succeeded() && !result.cancelled ? kExitOk : kExitFailed;
        QCoreApplication::exit(status);
    });
    if (!controller.start(plan.job)) {
        watchDeviceProgress(nullptr, nullptr);
        printError(options.program, QStringLiteral("cannot start the upload"));
        return kExitFailed;
    }
    QCoreApplication::exec();
    // The worker has ended: no report can come any more.
    watchDeviceProgress(nullptr, nullptr);
    return status;
}
