// The command line: both jobs of the engine without a window or a display, for scripts and
// production lines, with an exit status that says what happened.
#pragma once

// Parses the arguments and runs the command on a QCoreApplication of its own (no GUI platform is
// ever loaded); returns the exit status. For `zupflshc` with arguments.
int RunCommandLine(int argc, char** argv);
