#include "core/TargetResults.h"

#include "core/DeviceList.h"
#include "core/LibraryOperations.h"
#include "devlib/TestDll.h"

#include <algorithm>
#include <cstring>

static_assert(static_cast<int>(TargetOutcome::Committed) == UPLOAD_COMMITTED &&
                  static_cast<int>(TargetOutcome::Cancelled) == UPLOAD_CANCELLED &&
                  kTargetOutcomes == UPLOAD_CANCELLED + 1,
              "the outcomes are the library's codes");

namespace {

// This thread's report of the job's call, or an empty list when the library
// has none or it does not name the job's targets in order.
std::vector<UploadOutcome> readReport(const std::vector<TargetResult>& targets) {
    const auto read = libraryOperation<int32_t (*)(UploadOutcome*, int32_t)>("DllGetUploadReport");
    std::vector<UploadOutcome> report(targets.size());
    if (!read ||
        read(report.data(), static_cast<int32_t>(report.size())) != static_cast<int32_t>(report.size()))
        return {};
    for (size_t i = 0; i < report.size(); ++i) {
        if (report[i].id != targets[i].id)
            return {};
    }
    return report;
}

void settle(TargetResult& t, TargetOutcome outcome, const QString& reason) {
    t.outcome = outcome;
    t.reason = reason;
}

} // namespace

const char* outcomeName(TargetOutcome outcome) {
    switch (outcome) {
    case TargetOutcome::Committed:
        return "committed";
    case TargetOutcome::Unreachable:
        return "unreachable";
    case TargetOutcome::Refused:
        return "refused";
    case TargetOutcome::TransferFailed:
        return "transfer-failed";
    case TargetOutcome::VerifyFailed:
        return "verify-failed";
    case TargetOutcome::FlashFailed:
        return "flash-failed";
    case TargetOutcome::Cancelled:
        return "cancelled";
    }
    return "unknown";
}

std::vector<TargetResult> settleTargets(const UploadJob& job) {
    std::vector<TargetResult> targets = job.devices;
    const std::vector<UploadOutcome> report = readReport(targets);
    for (size_t i = 0; i < targets.size(); ++i) {
        TargetResult& t = targets[i];
        RemoteInfo info;
        std::memset(&info, 0, sizeof info);
        const bool answered = DllGetRemoteInfo(t.id, &info) != 0;
        t.after = answered ? formatVersion(info.versionMajor, info.versionMinor) : QString();
        // Compared as the info line shows the image's version: by low bytes.
        const bool showsImage = answered && (info.versionMajor & 0xFF) == job.image.versionMajor &&
                                (info.versionMinor & 0xFF) == job.image.versionMinor;
        const QString mismatch =
            answered ? QStringLiteral("the device reports version %1 after the upload, not %2")
                           .arg(t.after, job.image.version)
                     : QStringLiteral("the device did not answer after the upload");
        if (report.empty()) {
            if (showsImage)
                settle(t, TargetOutcome::Committed, {});
            else
                settle(t, answered ? TargetOutcome::VerifyFailed : TargetOutcome::Unreachable, mismatch);
            continue;
        }
        const UploadOutcome& o = report[i];
        const QString reason =
            QString::fromLatin1(o.reason, static_cast<qsizetype>(strnlen(o.reason, sizeof o.reason)));
        if (o.outcome < UPLOAD_COMMITTED || o.outcome > UPLOAD_CANCELLED)
            settle(t, TargetOutcome::TransferFailed,
                   reason.isEmpty() ? QStringLiteral("the library reported outcome %1").arg(o.outcome)
                                    : reason);
        else if (o.outcome == UPLOAD_COMMITTED && !showsImage)
            settle(t, TargetOutcome::VerifyFailed, mismatch);
        else if (o.outcome == UPLOAD_CANCELLED && showsImage && t.before != t.after)
            // Cut off in the instant between its last flash report and its commit: it did commit.
            settle(t, TargetOutcome::Committed, {});
        else
            settle(t, static_cast<TargetOutcome>(o.outcome), reason);
    }
    return targets;
}

QString targetDetails(const std::vector<TargetResult>& targets) {
    QStringList lines;
    for (const TargetResult& t : targets) {
        const auto known = [](const QString& version) {
            return version.isEmpty() ? QStringLiteral("-") : version;
        };
        QString line =
            QStringLiteral("%1  %2  %3 -> %4  %5")
                .arg(t.id)
                .arg(t.name, known(t.before), known(t.after), QLatin1String(outcomeName(t.outcome)));
        if (!t.reason.isEmpty())
            line += QStringLiteral(": ") + t.reason;
        lines.append(line);
    }
    return lines.join(QLatin1Char('\n'));
}

bool reachedADevice(const std::vector<TargetResult>& targets) {
    return std::any_of(targets.begin(), targets.end(),
                       [](const TargetResult& t) { return t.outcome != TargetOutcome::Unreachable; });
}
