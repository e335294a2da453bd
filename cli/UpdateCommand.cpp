// update: the dialog's checks and targets from the engine, its job on the
// engine's upload controller, shown on the terminal instead of a window.
#include "cli/Commands.h"
#include "cli/Output.h"
#include "cli/ProgressView.h"
#include "cli/StopSignals.h"
#include "core/JsonLine.h"
#include "core/TargetResults.h"
#include "core/UpdateEngine.h"
#include "core/UploadController.h"

#include <QCoreApplication>
#include <QStringList>

#include <unistd.h>

namespace {

QString idList(const QList<int32_t>& ids) {
    QStringList texts;
    for (const int32_t id : ids)
        texts.append(QString::number(id));
    return texts.join(QStringLiteral(", "));
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
    view.note(
        text,
        jsonLine({{"event", "cancel"}, {"waiting", std::vector<int32_t>(flashing.begin(), flashing.end())}}),
        true);
}

} // namespace

int runUpdate(const FlashOptions& options) {
    UpdateEngine engine(deviceLibrary());
    // The file first: a refused file touches no device.
    const FileInfoResult file = engine.checkFile(options.file);
    if (!file.valid) {
        printError(options.program, QStringLiteral("%1: %2").arg(options.file, file.line));
        return kExitUsage;
    }
    if (options.port != 0 && !engine.openSerialPort(options.port))
        printError(options.program, QStringLiteral("cannot open com%1").arg(options.port));

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
    const std::vector<int32_t> targetIds = plan.job.ids();
    if (mode == ProgressView::Mode::Json) {
        printLine(jsonLine({{"event", "start"},
                            {"command", utf8(plan.job.command)},
                            {"via", utf8(plan.job.via)},
                            {"file", utf8(plan.job.file)},
                            {"info", utf8(file.line)},
                            {"targets", targetIds}}));
    } else {
        printLine(file.line);
        printLine(QStringLiteral("%1 to %2 via %3")
                      .arg(plan.job.command, idList(QList<int32_t>(targetIds.begin(), targetIds.end())),
                           plan.job.via));
    }

    UploadController controller(engine.library());
    controller.setHistoryApplication(QLatin1String(kHistoryApplication));
    const bool perDevice = controller.reportsEachDevice();
    ProgressView view(mode, perDevice, plan.job.targets);
    StopSignals stops;
    bool cancelling = false;
    int status = kExitFailed;
    QObject::connect(&stops, &StopSignals::stopRequested, [&] {
        if (cancelling)
            return;
        cancelling = true;
        cancelJob(controller, view, perDevice, options.program);
    });
    if (perDevice) {
        QObject::connect(&controller, &UploadController::deviceProgress, &view, &ProgressView::showDevice);
    } else {
        QObject::connect(&controller, &UploadController::progress, &view, &ProgressView::showCombined);
        QObject::connect(&controller, &UploadController::flashWarning, &view,
                         &ProgressView::combinedFlashWarning);
    }
    QObject::connect(&controller, &UploadController::finished, [&](const UploadResult& result) {
        view.finish();
        if (mode == ProgressView::Mode::Json)
            printLine(result.historyEntry);
        else
            printLine(targetDetails(result.job.targets));
        status = result.ok() && !result.cancelled ? kExitOk : kExitFailed;
        QCoreApplication::exit(status);
    });
    if (!controller.start(plan.job)) {
        printError(options.program, QStringLiteral("cannot start the upload"));
        return kExitFailed;
    }
    QCoreApplication::exec();
    return status;
}
