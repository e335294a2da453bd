// update: the dialog's checks and targets from the engine, the command line's
// policy (current devices left alone, no downgrade), a plan or the job on the
// engine's upload controller, shown on the terminal instead of a window.
#include "cli/Commands.h"
#include "cli/Output.h"
#include "cli/ProgressView.h"
#include "cli/StopSignals.h"
#include "core/TargetResults.h"
#include "core/UpdateEngine.h"
#include "core/UpdatePolicy.h"
#include "core/UploadController.h"
#include "core/UploadHistory.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QStringList>

#include <unistd.h>

namespace {

QString idList(const std::vector<int32_t>& ids) {
    QStringList texts;
    for (const int32_t id : ids)
        texts.append(QString::number(id));
    return texts.join(QStringLiteral(", "));
}

// Why a file is refused, as the library tells it.
QString problemOf(const QByteArray& path) {
    const std::optional<ImageFileDetails> details = deviceLibrary().fileDetails(path);
    return details && !details->problem.isEmpty() ? details->problem : QStringLiteral("not a firmware image");
}

struct LeftOut {
    int32_t id;
    const char* reason;
};

// The devices of the scan that "--all" did not take, and why.
std::vector<LeftOut> leftOut(const QList<ScannedDevice>& scanned, const UploadJob& job) {
    std::vector<LeftOut> out;
    for (const ScannedDevice& d : scanned) {
        const bool taken = std::any_of(job.targets.begin(), job.targets.end(),
                                       [&](const JobTarget& t) { return t.id == d.id; });
        const bool listed =
            std::any_of(out.begin(), out.end(), [&](const LeftOut& l) { return l.id == d.id; });
        if (!taken && !listed && d.id != 0)
            out.push_back({d.id, d.answered ? "not eligible" : "not answering"});
    }
    return out;
}

const char* actionOf(const JobTarget& t) {
    if (!t.held)
        return "update";
    return t.outcome == TargetOutcome::Current ? "current" : outcomeName(t.outcome);
}

// What would happen to each target, and the status the job would end with.
int printPlan(const UploadJob& job, bool json) {
    bool failing = false, answered = false;
    for (const JobTarget& t : job.targets) {
        const QString after = t.held ? t.before : job.image.version;
        failing = failing || (t.held && t.outcome != TargetOutcome::Current);
        answered = answered || t.answered;
        if (json) {
            printLine(jsonLine({{"event", "plan"},
                                {"id", t.id},
                                {"address", utf8(t.address)},
                                {"name", utf8(t.name)},
                                {"before", utf8(t.before)},
                                {"after", utf8(after)},
                                {"action", actionOf(t)},
                                {"reason", utf8(t.reason)}}));
            continue;
        }
        QString line = QStringLiteral("%1  ").arg(t.id, 7);
        if (t.answered)
            line += t.name + QStringLiteral("  ");
        if (!t.held)
            line += QStringLiteral("update %1 -> %2").arg(t.before, after);
        else if (t.outcome == TargetOutcome::Current)
            line += QStringLiteral("current %1").arg(t.before);
        else
            line += QStringLiteral("%1: %2").arg(QLatin1String(actionOf(t)), t.reason);
        printLine(line);
    }
    return !answered ? kExitNoTarget : failing ? kExitFailed : kExitOk;
}

// The first Ctrl-C (or SIGTERM, SIGHUP) cancels; a later one changes nothing.
void cancelJob(UploadController& controller, ProgressView& view, bool perDevice, const QString& program) {
    controller.cancel();
    const QList<int32_t> flashing = perDevice ? view.flashing() : QList<int32_t>();
    QString text = QStringLiteral("%1: cancelling: devices not yet programming their flash are cut off and "
                                  "keep their firmware")
                       .arg(program);
    if (!flashing.isEmpty())
        text += QStringLiteral("; waiting for the devices programming their flash: %1")
                    .arg(idList({flashing.begin(), flashing.end()}));
    else if (!perDevice)
        text += QStringLiteral("; waiting for any device already programming its flash");
    view.note(
        text,
        jsonLine({{"event", "cancel"}, {"waiting", std::vector<int32_t>(flashing.begin(), flashing.end())}}),
        true);
}

// The last lines: one per target, or the job's entry; the exit status its outcomes give.
int finishJob(const UploadResult& result, ProgressView::Mode mode) {
    if (mode == ProgressView::Mode::JsonEvents) {
        printLine(result.historyEntry);
    } else {
        for (const QString& line : targetDetails(result.job.targets).split(QLatin1Char('\n')))
            printLine(line);
    }
    const bool answered = std::any_of(result.job.targets.begin(), result.job.targets.end(),
                                      [](const JobTarget& t) { return t.answered; });
    return result.ok() ? kExitOk : answered ? kExitFailed : kExitNoTarget;
}

int runJob(const FlashOptions& options, const UploadJob& job, ProgressView::Mode mode) {
    // Every target settled before the job (current, refused, silent): nothing is sent, so
    // there is no upload and nothing to record; a re-run of a done job changes nothing.
    if (job.ids().empty()) {
        UploadResult result;
        result.job = job;
        result.historyEntry = historyEntry(result, QDateTime::currentDateTimeUtc());
        return finishJob(result, mode);
    }
    UploadController controller(deviceLibrary());
    controller.setHistoryApplication(QLatin1String(kHistoryApplication));
    const bool perDevice = controller.reportsEachDevice();
    ProgressView view(mode, perDevice, job);
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
        status = finishJob(result, mode);
        QCoreApplication::exit(status);
    });
    if (!controller.start(job)) {
        printError(options.program, QStringLiteral("cannot start the upload"));
        return kExitFailed;
    }
    QCoreApplication::exec();
    return status;
}

} // namespace

int runUpdate(const FlashOptions& options) {
    UpdateEngine engine(deviceLibrary());
    engine.expectSha256(options.sha256);
    // The file first: a refused file touches no device.
    const FileInfoResult file = engine.checkFile(options.filePath);
    if (!file.valid) {
        printError(options.program,
                   QStringLiteral("%1: %2: %3")
                       .arg(options.file, file.line,
                            file.line.startsWith(QLatin1Char('[')) ? QStringLiteral("unknown image type")
                                                                   : problemOf(options.filePath)));
        return kExitUsage;
    }
    // Its bytes read once, for the record and the expected SHA-256: the wrong file touches
    // no device either.
    UploadPlan plan = engine.planFile(options.filePath);
    if (plan.refused != PlanRefusal::None) {
        printError(options.program, QStringLiteral("%1: %2").arg(options.file, plan.refusal));
        return kExitUsage;
    }
    if (options.port != 0 && !engine.openSerialPort(options.port))
        printError(options.program, QStringLiteral("cannot open com%1").arg(options.port));

    // One scan: every listed device is asked at once, so silent ones cost one timeout.
    const QList<ScannedDevice> scanned = engine.refreshDevices();
    if (scanned.isEmpty() && options.all)
        return noStation(options);
    plan = options.all ? engine.planUpload(std::move(plan), UploadCommand::AllEligible, {}, options.port)
                       : engine.planNamedUpload(std::move(plan), options.devices, options.port);
    UploadJob& job = plan.job;
    applyPolicy(job, {options.allowReinstall, options.allowOlder});

    const auto mode = options.json                   ? ProgressView::Mode::JsonEvents
                      : ::isatty(STDOUT_FILENO) != 0 ? ProgressView::Mode::Live
                                                     : ProgressView::Mode::Plain;
    if (mode == ProgressView::Mode::JsonEvents) {
        printLine(
            jsonLine({{"event", "start"},
                      {"dry_run", options.dryRun},
                      {"command", utf8(job.command)},
                      {"via", utf8(job.via)},
                      {"station", utf8(job.station)},
                      {"file", utf8(job.file)},
                      {"info", utf8(file.line)},
                      {"image", {{"version", utf8(job.image.version)}, {"sha256", utf8(job.image.sha256)}}},
                      {"targets", job.ids()}}));
    } else {
        printLine(file.line);
        if (!options.dryRun && !job.ids().empty())
            printLine(QStringLiteral("%1 to %2 via %3 (%4)")
                          .arg(job.command, idList(job.ids()), job.via, job.station));
    }
    for (const LeftOut& l : options.all ? leftOut(scanned, job) : std::vector<LeftOut>{}) {
        if (mode == ProgressView::Mode::JsonEvents)
            printLine(jsonLine({{"event", "left-out"}, {"id", l.id}, {"reason", l.reason}}));
        else
            printLine(QStringLiteral("%1  left out: %2").arg(l.id, 7).arg(QLatin1String(l.reason)));
    }
    if (plan.refused == PlanRefusal::NoTarget) {
        printError(options.program, plan.refusal);
        return kExitNoTarget;
    }
    if (scanned.isEmpty() &&
        std::none_of(job.targets.begin(), job.targets.end(), [](const JobTarget& t) { return t.answered; })) {
        printPlan(job, mode == ProgressView::Mode::JsonEvents);
        return noStation(options);
    }
    if (options.dryRun)
        return printPlan(job, mode == ProgressView::Mode::JsonEvents);
    return runJob(options, job, mode);
}
