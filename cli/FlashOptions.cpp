#include "cli/FlashOptions.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <limits>
#include <optional>

namespace {

using Command = FlashOptions::Command;

// A decimal integer within [low, high], nothing around it.
std::optional<qint64> parseInteger(const QString& text, qint64 low, qint64 high) {
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    if (!ok || text.trimmed() != text || text.startsWith(QLatin1Char('+')) || value < low || value > high)
        return std::nullopt;
    return value;
}

// The value of `--name VALUE` or `--name=VALUE`; advances `i` past a separate value.
bool optionValue(const QString& arg, const QString& name, const QStringList& args, int& i, QString& value,
                 QString& error) {
    if (arg == name) {
        if (i + 1 >= args.size()) {
            error = QStringLiteral("%1 needs a value").arg(name);
            return true;
        }
        value = args[++i];
        return true;
    }
    if (arg.startsWith(name + QLatin1Char('='))) {
        value = arg.mid(name.size() + 1);
        return true;
    }
    return false;
}

// The options each command takes.
bool allowed(Command command, const QString& option) {
    if (option == QLatin1String("--json"))
        return command != Command::Refuse;
    if (option == QLatin1String("-n"))
        return command == Command::History;
    return command == Command::Update; // --all, --device, --port
}

QString checkCommand(const FlashOptions& o, const QStringList& operands) {
    const bool takesFile = o.command == Command::Info || o.command == Command::Update;
    if (takesFile && operands.size() != 1)
        return QStringLiteral("%1 takes one FILE").arg(o.command == Command::Info ? "info" : "update");
    if (!takesFile && !operands.isEmpty())
        return QStringLiteral("unexpected argument '%1'").arg(operands.front());
    if (o.command == Command::Update && o.all == !o.devices.isEmpty())
        return QStringLiteral("update takes either --all or --device ID");
    return {};
}

} // namespace

FlashOptions parseFlashOptions(int argc, const char* const* argv) {
    FlashOptions o;
    o.program = QFileInfo(QFile::decodeName(argc > 0 ? argv[0] : "")).completeBaseName();
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QFile::decodeName(argv[i]));

    bool commandSeen = false;
    bool options = true;
    QStringList operands;
    QStringList given; // options in the order given, checked against the command at the end
    for (int i = 0; i < args.size() && o.error.isEmpty(); ++i) {
        const QString& arg = args[i];
        QString value;
        if (options && (arg == QLatin1String("--help") || arg == QLatin1String("--version"))) {
            // Answered whatever else the line holds, as every tool does.
            o.command = arg == QLatin1String("--help") ? Command::Help : Command::Version;
            return o;
        }
        if (options && arg == QLatin1String("--")) {
            options = false;
        } else if (options && arg == QLatin1String("--json")) {
            o.json = true;
            given.append(arg);
        } else if (options && arg == QLatin1String("--all")) {
            o.all = true;
            given.append(arg);
        } else if (options && optionValue(arg, QStringLiteral("--device"), args, i, value, o.error)) {
            const auto id =
                parseInteger(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
            if (o.error.isEmpty() && (!id || *id == 0))
                o.error = QStringLiteral("'%1' is not a device id").arg(value);
            else if (id)
                o.devices.append(static_cast<int32_t>(*id));
            given.append(QStringLiteral("--device"));
        } else if (options && optionValue(arg, QStringLiteral("--port"), args, i, value, o.error)) {
            o.port = value == QLatin1String("com1") ? 1 : value == QLatin1String("com2") ? 2 : 0;
            if (o.error.isEmpty() && o.port == 0)
                o.error = QStringLiteral("--port takes com1 or com2, not '%1'").arg(value);
            given.append(QStringLiteral("--port"));
        } else if (options && optionValue(arg, QStringLiteral("-n"), args, i, value, o.error)) {
            const auto n = parseInteger(value, 0, std::numeric_limits<int32_t>::max());
            if (o.error.isEmpty() && !n)
                o.error = QStringLiteral("-n takes a count, not '%1'").arg(value);
            o.historyCount = n ? static_cast<int>(*n) : 0;
            given.append(QStringLiteral("-n"));
        } else if (options && arg.startsWith(QLatin1Char('-')) && arg != QLatin1String("-")) {
            o.error = QStringLiteral("unknown option '%1'").arg(arg);
        } else if (!commandSeen) {
            commandSeen = true;
            const QStringList names{QStringLiteral("scan"), QStringLiteral("info"), QStringLiteral("update"),
                                    QStringLiteral("history")};
            const Command commands[] = {Command::Scan, Command::Info, Command::Update, Command::History};
            const qsizetype index = names.indexOf(arg);
            if (index < 0)
                o.error = QStringLiteral("unknown command '%1'").arg(arg);
            else
                o.command = commands[index];
        } else {
            operands.append(arg);
        }
    }
    if (o.error.isEmpty() && !commandSeen)
        o.error = QStringLiteral("no command given");
    for (const QString& option : given) {
        if (o.error.isEmpty() && !allowed(o.command, option))
            o.error = QStringLiteral("%1 does not go with this command").arg(option);
    }
    if (o.error.isEmpty())
        o.error = checkCommand(o, operands);
    if (o.error.isEmpty() && !operands.isEmpty())
        o.file = operands.front();
    if (!o.error.isEmpty())
        o.command = Command::Refuse;
    return o;
}

QString flashUsage(const QString& program) {
    return QStringLiteral(
               "Usage: %1 scan [--json]\n"
               "       %1 info FILE [--json]\n"
               "       %1 update FILE (--all | --device ID [--device ID ...]) [--port com1|com2] [--json]\n"
               "       %1 history [--json] [-n N]\n"
               "       %1 --help | --version\n"
               "\n"
               "Firmware updates without a window, on the updater's engine and library.\n"
               "\n"
               "  scan        list the devices that answer, as the updater's list shows them\n"
               "  info        describe FILE as the updater's info line does\n"
               "  update      send FILE to every eligible cluster (--all) or to the named\n"
               "              devices (--device, repeatable); --port sends to the first\n"
               "              target alone over that serial line\n"
               "  history     the last N jobs (default 20), oldest first\n"
               "  --json      JSON instead of text: one event per line for update\n"
               "\n"
               "Exit status: 0 every target committed, 1 a target failed or the job was\n"
               "cancelled, 2 bad usage or invalid file, 3 no target. Ctrl-C cancels the\n"
               "transfer but waits for devices programming their flash. See %1(1).\n")
        .arg(program);
}
