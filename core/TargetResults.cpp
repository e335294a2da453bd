#include "core/TargetResults.h"

#include <algorithm>

namespace {

void settle(JobTarget& t, TargetOutcome outcome, const QString& reason) {
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
    case TargetOutcome::Current:
        return "current";
    }
    return "unknown";
}

void settleTargets(UploadJob& job, const UploadReply& reply, DeviceLibrary& library) {
    size_t sent = 0; // the target's place in the call, and in its report
    for (JobTarget& t : job.targets) {
        if (t.held)
            continue; // never part of the call
        const DeviceReport* report = sent < reply.report.size() ? &reply.report[sent] : nullptr;
        ++sent;
        const std::optional<DeviceInfo> info = library.remoteInfo(t.id);
        t.after = info ? formatVersion(info->versionMajor, info->versionMinor) : QString();
        // Compared as the info line shows the image's version: by low bytes.
        const bool showsImage = info && (info->versionMajor & 0xFF) == job.image.versionMajor &&
                                (info->versionMinor & 0xFF) == job.image.versionMinor;
        const QString other = info ? QStringLiteral("device reports %1 after the update").arg(t.after)
                                   : QStringLiteral("the device did not answer after the update");
        const QString note = showsImage ? QString() : other;
        if (report == nullptr) {
            if (reply.status == 1 || showsImage)
                settle(t, TargetOutcome::Committed, note);
            else
                settle(t, info ? TargetOutcome::VerifyFailed : TargetOutcome::Unreachable, other);
        } else if (report->code < 0 || report->code >= kLibraryOutcomes) {
            settle(t, TargetOutcome::TransferFailed,
                   report->reason.isEmpty()
                       ? QStringLiteral("the library reported outcome %1").arg(report->code)
                       : report->reason);
        } else if (report->code == static_cast<int>(TargetOutcome::Committed)) {
            settle(t, TargetOutcome::Committed, note);
        } else if (report->code == static_cast<int>(TargetOutcome::Cancelled) && showsImage &&
                   t.before != t.after) {
            // Cut off in the instant between its last flash report and its commit: it did commit.
            settle(t, TargetOutcome::Committed, {});
        } else {
            // The device's own word on its failure, and what it showed afterwards if that changed.
            QString reason = report->reason;
            if (info && t.after != t.before)
                reason += (reason.isEmpty() ? QString() : QStringLiteral("; ")) + other;
            settle(t, static_cast<TargetOutcome>(report->code), reason);
        }
    }
}

QString targetDetails(const std::vector<JobTarget>& targets) {
    QStringList lines;
    for (const JobTarget& t : targets) {
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

bool reachedADevice(const std::vector<JobTarget>& targets) {
    return std::any_of(targets.begin(), targets.end(),
                       [](const JobTarget& t) { return t.outcome != TargetOutcome::Unreachable; });
}
