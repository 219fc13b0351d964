// A station of simulated units for the command line's tests: the program in a folder of its own,
// a unit per port in a folder of its own, and its --json events read as they come.
#pragma once

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/CliRun.h"
#include "tests/support/SimUnit.h"
#include "tests/support/TempDir.h"


// The program in a folder of its own (its program folder), and a unit per port, each in a folder
// of its own and opened by --device <folder>/COM<n>.
struct Station : Cli {
    std::vector<std::unique_ptr<TempDir>> folders;
    std::vector<std::unique_ptr<SimUnit>> units;

    // The device of port i (1-based): a link that exists once its unit runs.
    std::string Device(int i) {
        while (static_cast<int>(folders.size()) < i) folders.push_back(std::make_unique<TempDir>());
        return folders[static_cast<size_t>(i - 1)]->Path() + "/COM" + std::to_string(i);
    }
    // A unit that took its upload answers again once switched off and on: here by itself, soon after,
    // as a line's next unit would be on the bench.
    SimUnit& Unit(int i, const std::vector<std::string>& args = {"--restart-ms", "100", "--power-cycle-after", "100", "--verify-wait", "0"}) {
        Device(i);
        if (static_cast<int>(units.size()) < i) units.resize(static_cast<size_t>(i));
        auto& unit = units[static_cast<size_t>(i - 1)];
        unit.reset();
        unit = std::make_unique<SimUnit>(folders[static_cast<size_t>(i - 1)]->Path(), i, args);
        return *unit;
    }
    QStringList Devices(int n) {
        QStringList args;
        for (int i = 1; i <= n; ++i) args += {"--device", Q(Device(i))};
        return args;
    }
};

inline QJsonObject Json(const std::string& line) { return QJsonDocument::fromJson(QByteArray::fromStdString(line)).object(); }

// Reads --json events as they come, calling `seen` for each, until it returns true, the program
// ends or `ms` pass; returns every line read.
inline std::string ReadEvents(QProcess& p, const std::function<bool(const QJsonObject&)>& seen, int ms) {
    std::string all, pending;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        if (!p.waitForReadyRead(100) && p.state() == QProcess::NotRunning) break;
        pending += p.readAllStandardOutput().toStdString();
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            all += line + "\n";
            if (seen(Json(line))) return all;
        }
    }
    return all;
}

// A station's events of one kind from its units (the preparation left out).
inline std::vector<QJsonObject> Events(const std::string& out, const char* kind) {
    std::vector<QJsonObject> events;
    for (const std::string& line : Lines(out))
        if (Json(line)["event"] == kind && Json(line)["unit"] != "prepare") events.push_back(Json(line));
    return events;
}

