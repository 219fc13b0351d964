// A station's process for the record tests: waits for a line on stdin (so that several start
// writing at the same moment), then opens the record at LOCATION and keeps COUNT records of the
// unit TAG, one transaction each. Exit 0 when every record was kept.
#include <QCoreApplication>
#include <cstdio>
#include <iostream>
#include <string>

#include "history/HistoryStore.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: history_writer LOCATION TAG COUNT\n");
        return 2;
    }
    std::string go;
    std::getline(std::cin, go);
    QString error;
    const auto store = THistoryStore::Open(QString::fromLocal8Bit(argv[1]), error);
    if (!store) {
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
        return 1;
    }
    const int count = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i) {
        TJobRecord r;
        r.Start = QDateTime::currentDateTimeUtc();
        r.Job = "upload";
        r.Station = QString::fromLocal8Bit(argv[2]);
        r.UnitId = QString::fromLocal8Bit(argv[2]);
        r.Result = "verified";
        r.BlocksSent = i;
        if (!store->Write(r, error)) {
            std::fprintf(stderr, "record %d: %s\n", i, error.toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}
