// `zupflshc control ADDRESS REQUEST [ARGS]`: one request to a running station's control socket for
// a script or a shell, its reply printed; `subscribe` prints the station's events until Ctrl-C.
#pragma once

#include <QStringList>

// Exit status 0 when the station said ok, 1 when it refused, 2 when it could not be reached (or the
// request was not understood here).
int RunControlCommand(const QStringList& words);
