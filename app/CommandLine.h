// The program's command line: [FILE], --help or --version and nothing else.
// Read before anything else starts, so that the answers need no display.
#pragma once

#include <QString>

struct CommandLine {
    enum class Action { Run, Help, Version, Refuse };

    Action action = Action::Run;
    QString program; // the executable's name, for the messages
    QString file;    // FILE as a full path, or empty
    QString error;   // why the command line was refused
};

CommandLine parseCommandLine(int argc, const char* const* argv);

// Prints the help, the version or the refusal with the usage; the exit status.
int answerCommandLine(const CommandLine& command);
