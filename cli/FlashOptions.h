// The command line of zentavo-flash: one command and its options, parsed with
// QCommandLineParser. Every refusal is one line and exit status 2.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;   // a target neither committed nor current, or nothing to show
constexpr int kExitUsage = 2;    // bad usage, an invalid file or the wrong file
constexpr int kExitNoTarget = 3; // no station or no target answering

struct FlashOptions {
    enum class Command { Scan, Info, Update, History, Help, Version, Refuse };

    Command command = Command::Refuse;
    QString program;     // the executable's name, for the messages
    QString file;        // FILE as text, for messages and records
    QByteArray filePath; // FILE's bytes as given, for the library and the file system
    QString station;     // --station HOST:PORT; empty: the library's own setting
    bool json = false;
    bool all = false;
    bool dryRun = false;
    bool allowOlder = false;
    bool allowReinstall = false;
    QList<int32_t> devices; // each id once, in the order given
    int port = 0;           // 1 or 2: the one target over that serial line
    QString sha256;         // lower-case hex; empty: not checked
    int historyCount = 20;
    QString error; // why the command line was refused
};

FlashOptions parseFlashOptions(int argc, char** argv);

QString flashUsage(const QString& program);

// Whether `text` is HOST:PORT with a host that resolves to IPv4 and a port 1..65535.
bool isStationAddress(const QString& text);
