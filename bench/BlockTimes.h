// When each unit of a station run sent its first and its last block, read from the run's --json events.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <map>
#include <sstream>
#include <string>
#include <utility>

#include "firmware/UploadFile.h"

// Per unit (as the events name it), the milliseconds of its block 1 and of its block `blocks`.
inline std::map<std::string, std::pair<qint64, qint64>> BlockTimes(const std::string& out, int blocks) {
    std::map<std::string, std::pair<qint64, qint64>> times;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        const QJsonObject e = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        if (e["event"] != "block") continue;
        const qint64 ms = QDateTime::fromString(e["time"].toString(), Qt::ISODateWithMs).toMSecsSinceEpoch();
        auto& t = times[e["unit"].toString().toStdString()];
        if (e["block"].toInt() == 1) t.first = ms;
        if (e["block"].toInt() == blocks) t.second = ms;
    }
    return times;
}

// The wire's floor for one unit of `blocks` blocks at `baud`: from the first block's request to the
// last block's end, each block and its 12-byte request ("SEND BLOCK" CR LF) at 10 bits a byte.
inline double WireFloorMs(int blocks, int baud) {
    constexpr int kRequestBytes = 12;
    return (blocks - 1) * (BlockSize + kRequestBytes) * 10.0 * 1000.0 / baud;
}
