#include "app/CommandLine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

constexpr int kExitUsage = 2;

QString usage(const QString& program) {
    return QStringLiteral("Usage: %1 [FILE]\n"
                          "       %1 --help | --version\n"
                          "\n"
                          "Firmware update console: scans the station's network, describes a firmware\n"
                          "image and uploads it to the devices chosen in the window.\n"
                          "\n"
                          "  FILE       start with this firmware image in the file box, as if chosen\n"
                          "             with Browse; nothing is uploaded until a button is pressed\n"
                          "  --help     print this text and exit\n"
                          "  --version  print the version and exit\n"
                          "\n"
                          "A FILE whose name begins with '-' follows '--'. Qt's own command-line\n"
                          "options are not taken; its environment variables are. See %1(1).\n")
        .arg(program);
}

void print(std::FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
}

} // namespace

CommandLine parseCommandLine(int argc, const char* const* argv) {
    CommandLine command;
    command.program = QFileInfo(QFile::decodeName(argc > 0 ? argv[0] : "")).completeBaseName();
    QString file;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QFile::decodeName(argv[i]);
        if (options && arg == QLatin1String("--")) {
            options = false;
        } else if (options && arg == QLatin1String("--help")) {
            command.action = CommandLine::Action::Help;
        } else if (options && arg == QLatin1String("--version") &&
                   command.action != CommandLine::Action::Help) {
            command.action = CommandLine::Action::Version;
        } else if (options && arg.startsWith(QLatin1Char('-')) && arg != QLatin1String("-")) {
            command.error = QStringLiteral("unknown option '%1'").arg(arg);
        } else if (!file.isNull()) {
            command.error = QStringLiteral("one FILE at most");
        } else {
            file = arg;
        }
    }
    if (command.error.isEmpty() && command.action == CommandLine::Action::Run && !file.isNull()) {
        // The full path the chooser would have handed over, of a file the chooser would have offered.
        command.file = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(file).absoluteFilePath()));
        if (!QFileInfo(command.file).isFile())
            command.error = QStringLiteral("'%1' is not a file").arg(file);
    }
    if (!command.error.isEmpty())
        command.action = CommandLine::Action::Refuse;
    return command;
}

int answerCommandLine(const CommandLine& command) {
    switch (command.action) {
    case CommandLine::Action::Help:
        print(stdout, usage(command.program));
        return 0;
    case CommandLine::Action::Version:
        print(stdout, QStringLiteral("%1 %2\n").arg(command.program, QStringLiteral(ZU_VERSION)));
        return 0;
    case CommandLine::Action::Refuse:
        print(stderr,
              QStringLiteral("%1: %2\n").arg(command.program, command.error) + usage(command.program));
        return kExitUsage;
    case CommandLine::Action::Run:
        break;
    }
    return 0;
}
