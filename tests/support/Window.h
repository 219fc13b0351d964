// The real main window and file chooser for end-to-end tests, wired as the program wires them, in
// a program folder and a home folder of the test's choice (temporary ones by default), with a
// shorter tick than the program's 50 ms. A session made on a folder that an earlier session used
// starts with what that one left (commsUP.txt, Capture.txt).
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QProgressBar>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "gui/Uflash8.h"
#include "gui/Chfile1.h"
#include "tests/support/EventLoop.h"
#include "tests/support/Firmware.h"
#include "tests/support/TempDir.h"

// A widget's tooltip as the plain text the operator reads, once there is one: what the system says
// of a port is found off the window's loop and arrives when it has been ("" if it never does).
inline std::string PlainToolTip(const QWidget* w) {
    WaitUntil([&] { return !w->toolTip().isEmpty(); });
    QTextDocument d;
    d.setHtml(w->toolTip());
    return d.toPlainText().toStdString();
}

class ProgramSession {
public:
    explicit ProgramSession(int tickMs = 3) : ownFolders_(std::in_place) {
        Start(ownFolders_->first.Path(), ownFolders_->second.Path(), tickMs);
    }
    ProgramSession(const std::string& folder, const std::string& home, int tickMs = 3) { Start(folder, home, tickMs); }
    ProgramSession(const ProgramSession&) = delete;
    ProgramSession& operator=(const ProgramSession&) = delete;

    TForm1& F() { return *window_->Form1; }
    const TSequencer& E() { return window_->Form1->Engine(); }
    TForm2& Chooser() { return *window_->Form2; }
    const std::string& Folder() const { return folder_; }
    const std::string& Home() const { return home_; }
    std::string Text(QLabel* l) const { return l->text().toStdString(); }
    bool Shown(QWidget* w) { return w->isVisibleTo(&F()); }

    // "&Software Upload" with the given selections; true once the port report is on screen.
    bool OpenPort(const QString& port = "1", const QString& baud = "38400") {
        Control<QComboBox>(F(), "CommPortBox")->setEditText(port);
        Control<QComboBox>(F(), "BaudRateBox")->setEditText(baud);
        Control<QPushButton>(F(), "Btn2Upload")->click();
        return WaitUntil([&] { return E().UploadState() == 0 && Control<QLabel>(F(), "Label12")->text().startsWith("Port "); }, 5000);
    }

    // Chooses `name` in the file chooser (in `directory`, the home folder by default), as an
    // operator typing it and pressing OK would.
    void ChooseFile(const std::string& name, const std::string& directory = {}) {
        Chooser().SetCurrentDirectory(QString::fromStdString(directory.empty() ? home_ : directory));
        const QString n = QString::fromStdString(name);
        QTimer::singleShot(0, &Chooser(), [this, n] {
            auto* box = Chooser().findChild<QLineEdit*>("FileNameBox");
            auto* ok = Chooser().findChild<QPushButton*>("BtnOK");
            ASSERT_TRUE(box && ok);
            box->setText(n);
            ok->click();
        });
        Control<QPushButton>(F(), "BtnChooseFile")->click();
    }

    // Writes `content` as `name` in the home folder, chooses it and waits for the ready screen.
    // The port must be open already.
    bool PrepareFile(const std::string& name, const std::string& content) {
        WriteWholeFile(home_ + name, content);
        if (!WaitUntil([&] { return Shown(Control<QPushButton>(F(), "BtnChooseFile")); })) return false;
        ChooseFile(name);
        return WaitUntil([&] { return E().UploadState() == 0 && Shown(Control<QPushButton>(F(), "BtnStartRun")); }, 20000);
    }

    // "Start &Upload", then waits for the sequencer to come to rest.
    bool StartAndWait(int ms = 120000) {
        Control<QPushButton>(F(), "BtnStartRun")->click();
        if (E().UploadState() != 44) return false;
        return WaitIdle(ms);
    }

    // Waits until the sequencer is idle (state 0).
    bool WaitIdle(int ms = 60000) {
        return WaitUntil([&] { return E().UploadState() == 0; }, ms);
    }

    std::string CaptureText() const { return ReadWholeFile(folder_ + "Capture.txt"); }

private:
    void Start(const std::string& folder, const std::string& home, int tickMs) {
        folder_ = folder.back() == '/' ? folder : folder + "/";
        home_ = home.back() == '/' ? home : home + "/";
        TForm1Options o;
        o.TickMs = tickMs;
        o.ProgramFolder = folder_;
        o.Maximise = false;
        o.ModalBoxes = false;
        window_ = BuildMainWindow(o, home_);
        window_->Form1->show();
        EXPECT_TRUE(WaitUntil([&] { return F().FormActivated() && Control<QTimer>(F(), "Timer1")->isActive(); }));
    }

    std::optional<std::pair<TempDir, TempDir>> ownFolders_;  // program folder, home
    std::string folder_, home_;
    std::unique_ptr<TMainWindow> window_;
};

