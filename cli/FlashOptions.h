// The command line of zentavo-flash: one command and its options.
#pragma once

#include <QList>
#include <QString>

#include <cstdint>

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;   // at least one target did not commit, or the job was cancelled
constexpr int kExitUsage = 2;    // bad usage or an invalid file
constexpr int kExitNoTarget = 3; // no eligible device, no device answering

struct FlashOptions {
    enum class Command { Scan, Info, Update, History, Help, Version, Refuse };

    Command command = Command::Refuse;
    QString program; // the executable's name, for the messages
    QString file;
    bool json = false;
    bool all = false;
    QList<int32_t> devices;
    int port = 0; // 1 or 2: the first target alone over that serial line
    int historyCount = 20;
    QString error; // why the command line was refused
};

FlashOptions parseFlashOptions(int argc, const char* const* argv);

QString flashUsage(const QString& program);
