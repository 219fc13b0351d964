// The real main window and file chooser for end-to-end tests, in a folder of their own, with a
// shorter tick than the program's 50 ms.
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "app/Uflash8.h"
#include "records/Chfile1.h"
#include "tests/support/EventLoop.h"

// Runs the event loop until `done` holds or `ms` pass; true when it held.

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

struct TestWindow {
    QTemporaryDir programDir;  // the program's folder: COM links, commsUP.txt, Capture.txt, Reserved files
    QTemporaryDir homeDir;     // stands for drive C
    std::unique_ptr<TForm1> form1;
    std::unique_ptr<TForm2> form2;

    explicit TestWindow(int tickMs = 5) {
        TForm1Options o;
        o.TickMs = tickMs;
        o.ProgramFolder = programDir.path().toStdString() + "/";
        o.Maximise = false;
        o.ModalBoxes = false;
        form1 = std::make_unique<TForm1>(o);
        form2 = std::make_unique<TForm2>(homeDir.path().toStdString(), form1.get());
        form1->Form2 = form2.get();
        form2->OnIoError = [this](const std::string& t) { form1->ShowMessage(QString::fromStdString(t)); };
        form1->show();
        EXPECT_TRUE(WaitUntil([&] { return form1->FormActivated() && form1->Timer1->isActive(); }));
    }
    ~TestWindow() {
        form1->Timer1->stop();
        form2.reset();
        form1.reset();
    }
    std::string Folder() const { return programDir.path().toStdString() + "/"; }
    std::string Home() const { return homeDir.path().toStdString() + "/"; }

    TForm1& F() { return *form1; }
    std::string Text(QLabel* l) const { return l->text().toStdString(); }

    // Opens the port through "&Software Upload" and waits for the port report.
    bool SoftwareUpload(const QString& port = "1", const QString& baud = "38400") {
        form1->CommPortBox->setEditText(port);
        form1->BaudRateBox->setEditText(baud);
        form1->Btn2Upload->click();
        return WaitUntil([&] { return form1->Label12->text().startsWith("Port "); }, 5000);
    }

    // Chooses `name` in the file chooser, as an operator typing it and pressing OK would.
    void ChooseFile(const QString& directory, const QString& name) {
        form2->SetCurrentDirectory(directory);
        QTimer::singleShot(0, form2.get(), [this, name] {
            auto* box = form2->findChild<QLineEdit*>("FileNameBox");
            auto* ok = form2->findChild<QPushButton*>("BtnOK");
            ASSERT_TRUE(box && ok);
            box->setText(name);
            ok->click();
        });
        form1->BtnChooseFile->click();
    }

    // Waits until the sequencer is idle (state 0) after having left it.
    bool WaitIdle(int ms = 60000) {
        return WaitUntil([&] { return form1->UploadState == 0; }, ms);
    }
};
