#include "cli/FlashOptions.h"

#include "core/UploadJob.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <netdb.h>
#include <sys/socket.h>

#include <limits>
#include <optional>

namespace {

using Command = FlashOptions::Command;

// A decimal integer within [low, high], nothing around it.
std::optional<qint64> parseInteger(const QString& text, qint64 low, qint64 high) {
    static const QRegularExpression decimal(QStringLiteral("^-?[0-9]{1,19}$"));
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    if (!ok || !decimal.match(text).hasMatch() || value < low || value > high)
        return std::nullopt;
    return value;
}

struct Options {
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}};
    QCommandLineOption version{QStringLiteral("version")};
    QCommandLineOption json{QStringLiteral("json")};
    QCommandLineOption all{QStringLiteral("all")};
    QCommandLineOption device{QStringLiteral("device"), {}, QStringLiteral("ID")};
    QCommandLineOption port{QStringLiteral("port"), {}, QStringLiteral("PORT")};
    QCommandLineOption station{QStringLiteral("station"), {}, QStringLiteral("HOST:PORT")};
    QCommandLineOption dryRun{QStringLiteral("dry-run")};
    QCommandLineOption allowOlder{QStringLiteral("allow-older")};
    QCommandLineOption allowReinstall{QStringLiteral("allow-reinstall")};
    QCommandLineOption sha256{QStringLiteral("sha256"), {}, QStringLiteral("HEX")};
    QCommandLineOption count{QStringLiteral("n"), {}, QStringLiteral("N")};
};

// The options each command takes; --json and --station go with every command.
bool allowed(Command command, const QString& option) {
    if (option == QLatin1String("json") || option == QLatin1String("station"))
        return true;
    if (option == QLatin1String("n"))
        return command == Command::History;
    return command == Command::Update;
}

// FILE's bytes as the shell handed them over: the parser sees decoded text, which need not
// give the same bytes back (a name that is no UTF-8).
QByteArray rawArgument(int argc, char** argv, const QString& text) {
    for (int i = argc - 1; i > 0; --i) {
        if (QFile::decodeName(argv[i]) == text)
            return argv[i];
    }
    return QFile::encodeName(text);
}

void readValues(FlashOptions& o, const QCommandLineParser& parser, const Options& opt) {
    for (const QString& value : parser.values(opt.device)) {
        const auto id =
            parseInteger(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
        if (!id || *id == 0) {
            o.error = QStringLiteral("'%1' is not a device id").arg(value);
            return;
        }
        if (!o.devices.contains(static_cast<int32_t>(*id)))
            o.devices.append(static_cast<int32_t>(*id));
    }
    if (parser.isSet(opt.port)) {
        const QString value = parser.value(opt.port);
        o.port = value == QLatin1String("com1") ? 1 : value == QLatin1String("com2") ? 2 : 0;
        if (o.port == 0)
            o.error = QStringLiteral("--port takes com1 or com2, not '%1'").arg(value);
    }
    if (parser.isSet(opt.station)) {
        o.station = parser.value(opt.station);
        const qsizetype colon = o.station.lastIndexOf(QLatin1Char(':'));
        if (colon <= 0 || !parseInteger(o.station.mid(colon + 1), 1, 65535))
            o.error = QStringLiteral("--station takes HOST:PORT (port 1 to 65535), not '%1'").arg(o.station);
        else if (!isStationAddress(o.station))
            o.error = QStringLiteral("--station: no IPv4 address for '%1'").arg(o.station.left(colon));
    }
    if (parser.isSet(opt.sha256)) {
        o.sha256 = parser.value(opt.sha256).toLower();
        if (!QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(o.sha256).hasMatch())
            o.error = QStringLiteral("--sha256 takes 64 hex digits, not '%1'").arg(parser.value(opt.sha256));
    }
    if (parser.isSet(opt.count)) {
        const auto n = parseInteger(parser.value(opt.count), 0, std::numeric_limits<int32_t>::max());
        if (!n)
            o.error = QStringLiteral("-n takes a count, not '%1'").arg(parser.value(opt.count));
        o.historyCount = n ? static_cast<int>(*n) : 0;
    }
    o.json = parser.isSet(opt.json);
    o.all = parser.isSet(opt.all);
    o.dryRun = parser.isSet(opt.dryRun);
    o.allowOlder = parser.isSet(opt.allowOlder);
    o.allowReinstall = parser.isSet(opt.allowReinstall);
}

QString checkCommand(const FlashOptions& o, const QStringList& operands) {
    const bool takesFile = o.command == Command::Info || o.command == Command::Update;
    if (takesFile && (operands.size() != 1 || operands.front().isEmpty()))
        return QStringLiteral("%1 takes one FILE").arg(o.command == Command::Info ? "info" : "update");
    if (!takesFile && !operands.isEmpty())
        return QStringLiteral("unexpected argument '%1'").arg(operands.front());
    if (o.command != Command::Update)
        return {};
    if (o.all == !o.devices.isEmpty())
        return QStringLiteral("update takes either --all or --device ID");
    if (o.port != 0 && (o.all || o.devices.size() > 1))
        return QStringLiteral("--port sends to one device: name it with one --device");
    if (o.devices.size() > kMaxUploadTargets)
        return QStringLiteral("one job takes at most %1 devices, not %2")
            .arg(kMaxUploadTargets)
            .arg(o.devices.size());
    return {};
}

} // namespace

bool isStationAddress(const QString& text) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0 || !parseInteger(text.mid(colon + 1), 1, 65535))
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const bool resolves =
        ::getaddrinfo(text.left(colon).toLocal8Bit().constData(), nullptr, &hints, &found) == 0;
    if (found)
        ::freeaddrinfo(found);
    return resolves;
}

FlashOptions parseFlashOptions(int argc, char** argv) {
    FlashOptions o;
    o.program = QFileInfo(QFile::decodeName(argc > 0 ? argv[0] : "")).completeBaseName();
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args.append(QFile::decodeName(argv[i]));

    QCommandLineParser parser;
    const Options opt;
    for (const QCommandLineOption* option :
         {&opt.help, &opt.version, &opt.json, &opt.all, &opt.device, &opt.port, &opt.station, &opt.dryRun,
          &opt.allowOlder, &opt.allowReinstall, &opt.sha256, &opt.count})
        parser.addOption(*option);
    if (!parser.parse(args)) {
        o.error = parser.errorText();
        if (o.error.endsWith(QLatin1Char('.')))
            o.error.chop(1);
        return o;
    }
    // Answered whatever else the line holds, as every tool does.
    if (parser.isSet(opt.help) || parser.isSet(opt.version)) {
        o.command = parser.isSet(opt.help) ? Command::Help : Command::Version;
        return o;
    }
    QStringList operands = parser.positionalArguments();
    if (operands.isEmpty()) {
        o.error = QStringLiteral("no command given");
        return o;
    }
    const QString name = operands.takeFirst();
    const QStringList names{QStringLiteral("scan"), QStringLiteral("info"), QStringLiteral("update"),
                            QStringLiteral("history")};
    const Command commands[] = {Command::Scan, Command::Info, Command::Update, Command::History};
    if (!names.contains(name)) {
        o.error = QStringLiteral("unknown command '%1'").arg(name);
        return o;
    }
    o.command = commands[names.indexOf(name)];
    for (const QString& given : parser.optionNames()) {
        if (!allowed(o.command, given)) {
            o.error =
                QStringLiteral("%1%2 does not go with %3").arg(given.size() == 1 ? "-" : "--", given, name);
            break;
        }
    }
    if (o.error.isEmpty())
        readValues(o, parser, opt);
    if (o.error.isEmpty())
        o.error = checkCommand(o, operands);
    if (o.error.isEmpty() && !operands.isEmpty()) {
        o.file = operands.front();
        o.filePath = rawArgument(argc, argv, o.file);
    }
    if (!o.error.isEmpty())
        o.command = Command::Refuse;
    return o;
}

QString flashUsage(const QString& program) {
    return QStringLiteral(
               "Usage: %1 scan [--json] [--station HOST:PORT]\n"
               "       %1 info FILE [--json]\n"
               "       %1 update FILE (--all | --device ID [--device ID ...]) [--port com1|com2]\n"
               "              [--allow-older] [--allow-reinstall] [--dry-run] [--sha256 HEX]\n"
               "              [--station HOST:PORT] [--json]\n"
               "       %1 history [--json] [-n N] [--station HOST:PORT]\n"
               "       %1 -h | --help | --version\n"
               "\n"
               "Firmware updates without a window, on the updater's engine and library.\n"
               "\n"
               "  scan        list the devices of the station, as the updater's list shows them,\n"
               "              then the listed devices that do not answer\n"
               "  info        describe FILE as the updater's info line does; size, CRC-32, SHA-256\n"
               "  update      send FILE to every eligible cluster (--all) or to the named devices\n"
               "              (--device, repeatable, at most 40); --port sends to one device over\n"
               "              that serial line. A device that already has the image is left alone\n"
               "              (current), one with a newer image refuses it, unless --allow-reinstall\n"
               "              or --allow-older. --dry-run says what would happen and sends nothing;\n"
               "              --sha256 refuses any other file\n"
               "  history     the last N jobs (default 20), oldest first; --station: of that station\n"
               "  --station   the station's HOST:PORT (instead of TESTDLL_NETWORK)\n"
               "  --json      JSON instead of text: one event per line for update\n"
               "\n"
               "Exit status: 0 every target committed or current, 1 a target failed, 2 bad usage\n"
               "or the wrong file, 3 no station or no target answering. Ctrl-C cancels the\n"
               "transfer but waits for devices programming their flash. See %1(1).\n")
        .arg(program);
}
