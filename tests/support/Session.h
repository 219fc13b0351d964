// One run of the program in a program folder the test chooses, so that files left there by an
// earlier run (commsUP.txt, Capture.txt) are what the next run starts with.
#pragma once

#include <QGroupBox>
#include <QProgressBar>
#include <sys/stat.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "SimUnit.h"
#include "Window.h"

class ProgramSession {
public:
    ProgramSession(const std::string& folder, const std::string& home, int tickMs = 3)
        : folder_(folder.back() == '/' ? folder : folder + "/"), home_(home.back() == '/' ? home : home + "/") {
        TForm1Options o;
        o.TickMs = tickMs;
        o.ProgramFolder = folder_;
        o.Maximise = false;
        o.ModalBoxes = false;
        form1_ = std::make_unique<TForm1>(o);
        form2_ = std::make_unique<TForm2>(home_, form1_.get());
        form1_->Form2 = form2_.get();
        form2_->OnIoError = [this](const std::string& t) { form1_->ShowMessage(QString::fromStdString(t)); };
        form1_->show();
        EXPECT_TRUE(WaitUntil([&] { return form1_->FormActivated() && form1_->Timer1->isActive(); }));
    }
    ~ProgramSession() {
        form1_->Timer1->stop();
        form2_.reset();
        form1_.reset();
    }
    ProgramSession(const ProgramSession&) = delete;
    ProgramSession& operator=(const ProgramSession&) = delete;

    TForm1& F() { return *form1_; }
    const std::string& Folder() const { return folder_; }
    const std::string& Home() const { return home_; }
    std::string Text(QLabel* l) const { return l->text().toStdString(); }
    bool Shown(QWidget* w) { return w->isVisibleTo(form1_.get()); }

    // "&Software Upload" with the given selections; true once the port report is on screen.
    bool OpenPort(const QString& port = "1", const QString& baud = "38400") {
        form1_->CommPortBox->setEditText(port);
        form1_->BaudRateBox->setEditText(baud);
        form1_->Btn2Upload->click();
        return WaitUntil([&] { return form1_->UploadState == 0 && form1_->Label12->text().startsWith("Port "); },
                         5000);
    }

    void ChooseFile(const std::string& name) {
        form2_->SetCurrentDirectory(QString::fromStdString(home_));
        const QString n = QString::fromStdString(name);
        QTimer::singleShot(0, form2_.get(), [this, n] {
            auto* box = form2_->findChild<QLineEdit*>("FileNameBox");
            auto* ok = form2_->findChild<QPushButton*>("BtnOK");
            ASSERT_TRUE(box && ok);
            box->setText(n);
            ok->click();
        });
        form1_->BtnChooseFile->click();
    }

    // Writes `content` as `name` in the home folder, chooses it and waits for the ready screen.
    // The port must be open already.
    bool PrepareFile(const std::string& name, const std::string& content) {
        WriteWholeFile(home_ + name, content);
        if (!WaitUntil([&] { return Shown(form1_->BtnChooseFile); })) return false;
        ChooseFile(name);
        return WaitUntil([&] { return form1_->UploadState == 0 && Shown(form1_->BtnStartRun); }, 20000);
    }

    // "Start &Upload", then waits for the sequencer to come to rest.
    bool StartAndWait(int ms = 120000) {
        form1_->BtnStartRun->click();
        if (form1_->UploadState != 44) return false;
        return WaitUntil([&] { return form1_->UploadState == 0; }, ms);
    }

    std::string CaptureText() const { return ReadWholeFile(folder_ + "Capture.txt"); }

private:
    std::string folder_, home_;
    std::unique_ptr<TForm1> form1_;
    std::unique_ptr<TForm2> form2_;
};

// The unit's flash compared with an image, naming the first differing offset rather than
// printing megabytes.
inline ::testing::AssertionResult FlashHolds(SimUnit& sim, const std::string& image) {
    const std::string flash = sim.Flash();
    if (flash.size() != image.size())
        return ::testing::AssertionFailure() << "flash has " << flash.size() << " bytes, image " << image.size();
    if (flash == image) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (flash[i] == image[i]) ++i;
    return ::testing::AssertionFailure() << "the unit's flash differs from the image first at 0x" << std::hex << i;
}
