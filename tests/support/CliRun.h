// The built command line run as a process without a display, in a program folder of its own.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

struct Outcome {
    int status = -1;
    std::string out, err;
};

// The program hard-linked into a folder of its own: that folder is its program folder, where the
// COM<n> links and Capture.txt belong, and home/ is its HOME.
struct Cli {
    TempDir root;
    std::string bin = root / "bin";
    std::string home = root / "home";

    Cli() {
        std::filesystem::create_directories(bin);
        std::filesystem::create_directories(home);
        const std::string program = std::string(ZUP_RUNTIME_DIR) + "/zupflshc";
        if (::link(program.c_str(), (bin + "/zupflshc").c_str()) != 0) std::filesystem::copy_file(program, bin + "/zupflshc");
    }
    std::string File(const std::string& name, const std::string& content) const {
        WriteWholeFile(root / name, content);
        return root / name;
    }
    void Start(QProcess& p, const QStringList& args) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
        env.insert("HOME", QString::fromStdString(home));
        p.setProcessEnvironment(env);
        p.start(QString::fromStdString(bin + "/zupflshc"), args);
        ASSERT_TRUE(p.waitForStarted());
    }
    Outcome Run(const QStringList& args, int ms = 30000) const {
        QProcess p;
        Start(p, args);
        EXPECT_TRUE(p.waitForFinished(ms)) << args.join(' ').toStdString();
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput().toStdString(),
                p.readAllStandardError().toStdString()};
    }
};

inline QString Q(const std::string& s) { return QString::fromStdString(s); }

// The lines of a program's output.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}
