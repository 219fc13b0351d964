// The SHA-256 of a firmware file, as the record keeps it and as `history --file` looks it up.
#pragma once

#include <QString>

// Lower-case hex of the file's SHA-256. Only a regular file is read, and opening never blocks (a
// FIFO put where the file was expected is refused). False with `error` naming the file and why.
bool FileSha256(const QString& path, QString& hex, QString& error);
