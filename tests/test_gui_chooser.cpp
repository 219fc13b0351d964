// Form2, the file chooser, driven through its controls as the operator would.
#include "gui/Chfile1.h"
#include "records/DataFilesDir.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

QString ReadText(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return "<missing>";
    return QString::fromLatin1(f.readAll());
}

void Touch(const QString& path, const QByteArray& content = "x") {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
}

QStringList Items(const QListWidget* list) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i) items << list->item(i)->text();
    return items;
}

const char* const kFilter = "Norvane Upload (.zup)|*.zup|Binary (.bin)|*.bin|Intel HEX (.h86)|*.h86|"
                            "Intel HEX (.mcs)|*.mcs|";

struct Chooser : ::testing::Test {
    QTemporaryDir tmp;
    QString home, fw;  // real paths
    QString savedCwd = QDir::currentPath();

    void SetUp() override {
        home = QFileInfo(tmp.path()).canonicalFilePath();
        fw = home + "/Firmware/New";
        ASSERT_TRUE(QDir().mkpath(fw + "/sub.zup"));  // a directory that matches the mask
        Touch(fw + "/a.zup");
        Touch(fw + "/B.ZUP");
        Touch(fw + "/c.bin");
    }
    void TearDown() override { QDir::setCurrent(savedCwd); }

    QString SetFile() const { return home + "/ZURuzada.set"; }
    void Remember(const QByteArray& line) { Touch(SetFile(), line); }

    template <class T>
    static T* Child(TForm2& f, const char* name) {
        T* w = f.findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    static QLineEdit* NameBox(TForm2& f) { return Child<QLineEdit>(f, "FileNameBox"); }
    static QPushButton* Ok(TForm2& f) { return Child<QPushButton>(f, "BtnOK"); }
    static QListWidget* Files(TForm2& f) { return Child<QListWidget>(f, "FileListBox1"); }
    static QListWidget* Dirs(TForm2& f) { return Child<QListWidget>(f, "DirectoryListBox1"); }
    static QComboBox* Types(TForm2& f) { return Child<QComboBox>(f, "FilterComboBox1"); }
    static QComboBox* Drives(TForm2& f) { return Child<QComboBox>(f, "DriveComboBox1"); }

    static QListWidgetItem* DirItem(TForm2& f, const QString& path) {
        QListWidget* dirs = Dirs(f);
        for (int i = 0; i < dirs->count(); ++i)
            if (dirs->item(i)->data(Qt::UserRole).toString() == path) return dirs->item(i);
        return nullptr;
    }
};

TEST_F(Chooser, ControlsAndFirstStartWithoutARememberedDirectory) {
    TForm2 form(home.toStdString());
    EXPECT_EQ(form.windowTitle(), "Select a File Name");
    EXPECT_EQ(form.pos(), QPoint(160, 97));
    EXPECT_EQ(form.CurrentDirectory(), home);
    EXPECT_EQ(QDir::currentPath(), home);
    EXPECT_EQ(form.DataFilesDir, home.toStdString());
    EXPECT_EQ(Child<QLabel>(form, "CurDirLbl")->text(), home);
    EXPECT_FALSE(Ok(form)->isVisibleTo(&form));
    EXPECT_TRUE(Ok(form)->isDefault());
    EXPECT_EQ(Ok(form)->text(), "OK");
    EXPECT_EQ(Child<QPushButton>(form, "BtnCancel")->text(), "Cancel");
    EXPECT_NE(Child<QGroupBox>(form, "GroupBox1"), nullptr);
    EXPECT_EQ(Child<QLabel>(form, "Label6")->text(), "Double click to change directory");
    const std::pair<const char*, QWidget*> labels[] = {
        {"Label4", NameBox(form)}, {"Label2", Dirs(form)}, {"Label5", Types(form)}, {"Label1", Drives(form)}};
    for (auto [name, control] : labels) EXPECT_EQ(Child<QLabel>(form, name)->buddy(), control) << name;
    EXPECT_EQ(NameBox(form)->accessibleName(), "File Name");

    form.show();
    const QSize size = form.size();
    form.resize(size * 2);
    EXPECT_EQ(form.size(), size);  // fixed
    form.hide();
}

TEST_F(Chooser, StartsInTheRememberedDirectoryWhenItStillExists) {
    Remember("C:\\FIRMWARE\\NEW\r\n");
    {
        TForm2 form(home.toStdString());
        EXPECT_EQ(form.CurrentDirectory(), fw);
        EXPECT_EQ(QDir::currentPath(), fw);
        EXPECT_EQ(form.DataFilesDir, fw.toStdString());
    }
    Remember("C:\\FIRMWARE\\OLD\r\n");
    TForm2 form(home.toStdString());
    EXPECT_EQ(form.CurrentDirectory(), home);
}

TEST_F(Chooser, TheFileTypeFiltersTheListAndPutsItsMaskInTheNameBox) {
    Remember("C:\\FIRMWARE\\NEW\r\n");
    TForm2 form(home.toStdString());
    form.SetFilter(kFilter);
    ASSERT_EQ(Types(form)->count(), 4);
    EXPECT_EQ(Types(form)->currentIndex(), 0);
    EXPECT_EQ(Types(form)->itemText(3), "Intel HEX (.mcs)");
    EXPECT_EQ(NameBox(form)->text(), "*.zup");
    EXPECT_EQ(Items(Files(form)), QStringList({"a.zup", "B.ZUP"}));  // any case, files only

    Types(form)->setCurrentIndex(1);
    EXPECT_EQ(NameBox(form)->text(), "*.bin");
    EXPECT_EQ(Items(Files(form)), QStringList({"c.bin"}));
    Types(form)->setCurrentIndex(2);
    EXPECT_TRUE(Items(Files(form)).isEmpty());
    EXPECT_EQ(NameBox(form)->text(), "*.h86");
}

TEST_F(Chooser, OkIsShownForAUsableNameOnly) {
    TForm2 form(home.toStdString());
    form.SetFilter(kFilter);
    QPushButton* ok = Ok(form);
    EXPECT_FALSE(ok->isVisibleTo(&form));  // the mask is not a name
    NameBox(form)->setText("fw.zup");
    EXPECT_TRUE(ok->isVisibleTo(&form));
    Types(form)->setCurrentIndex(1);  // "*.bin" leaves OK as it was
    EXPECT_TRUE(ok->isVisibleTo(&form));
    NameBox(form)->setText("");
    EXPECT_FALSE(ok->isVisibleTo(&form));
    Types(form)->setCurrentIndex(0);
    EXPECT_FALSE(ok->isVisibleTo(&form));
}

TEST_F(Chooser, AClickedFilePutsItsNameInTheBox) {
    Remember("C:\\FIRMWARE\\NEW\r\n");
    TForm2 form(home.toStdString());
    form.SetFilter(kFilter);
    Files(form)->setCurrentRow(1);
    EXPECT_EQ(NameBox(form)->text(), "B.ZUP");
    EXPECT_TRUE(Ok(form)->isVisibleTo(&form));
}

TEST_F(Chooser, OkOnlyAcceptsAnExistingFileAndThenRemembersTheDirectory) {
    Remember("C:\\FIRMWARE\\NEW\r\n");
    TForm2 form(home.toStdString());
    form.SetFilter(kFilter);
    QFile::remove(SetFile());

    for (const QString& name : {QString("*.zup"), QString("missing.zup"), QString("sub.zup"), QString()}) {
        NameBox(form)->setText(name);
        form.BtnOKClick();
        EXPECT_EQ(form.result(), QDialog::Rejected) << name.toStdString();
        EXPECT_EQ(form.SelectedFile, name.toStdString());
        EXPECT_FALSE(QFile::exists(SetFile())) << name.toStdString();
    }

    NameBox(form)->setText("c.bin");
    form.BtnOKClick();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(form.SelectedFile, "c.bin");
    EXPECT_EQ(ReadText(SetFile()), "C:\\FIRMWARE\\NEW\r\n");
}

TEST_F(Chooser, ADoubleClickedFileIsConfirmedLikeOk) {
    Remember("C:\\FIRMWARE\\NEW\r\n");
    TForm2 form(home.toStdString());
    form.SetFilter(kFilter);
    QFile::remove(SetFile());
    Files(form)->setCurrentRow(0);
    emit Files(form)->itemDoubleClicked(Files(form)->item(0));
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(form.SelectedFile, "a.zup");
    EXPECT_TRUE(QFile::exists(SetFile()));
}

TEST_F(Chooser, TheShownDirectoryIsRememberedNotThatOfATypedPath) {
    TForm2 form(home.toStdString());
    ASSERT_TRUE(form.SetCurrentDirectory(home + "/Firmware"));
    NameBox(form)->setText("New/a.zup");
    form.BtnOKClick();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(ReadText(SetFile()), "C:\\FIRMWARE\r\n");
    // A directory outside home is remembered as the root of drive C.
    QTemporaryDir outside;
    Touch(outside.path() + "/x.zup");
    ASSERT_TRUE(form.SetCurrentDirectory(outside.path()));
    NameBox(form)->setText("x.zup");
    form.BtnOKClick();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(ReadText(SetFile()), "C:\\\r\n");
}

TEST_F(Chooser, AFailedWriteIsReportedAndTheChoiceStillStands) {
    Remember("C:\\FIRMWARE\\NEW\r\n");
    TForm2 form(home.toStdString());
    QFile::remove(SetFile());
    ASSERT_TRUE(QDir().mkdir(SetFile()));  // no file can take its place
    std::vector<std::string> errors;
    form.OnIoError = [&](const std::string& m) { errors.push_back(m); };
    NameBox(form)->setText("a.zup");
    form.BtnOKClick();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("ZURuzada.set"), std::string::npos);
}

TEST_F(Chooser, AnUnreadableSetFileIsReportedAtTheFirstOpening) {
    ASSERT_TRUE(QDir().mkdir(SetFile()));
    TForm2 form(home.toStdString());
    EXPECT_EQ(form.CurrentDirectory(), home);
    EXPECT_FALSE(form.DataFilesReadError.empty());
    std::vector<std::string> errors;
    form.OnIoError = [&](const std::string& m) { errors.push_back(m); };
    for (int opening = 0; opening < 2; ++opening) {
        QTimer::singleShot(0, &form, [&] { QTimer::singleShot(0, &form, [&] { form.reject(); }); });
        form.exec();
    }
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("ZURuzada.set"), std::string::npos);
}

TEST_F(Chooser, TheProcessDirectoryFollowsTheDirectoryList) {
    Remember("C:\\FIRMWARE\\NEW\r\n");
    TForm2 form(home.toStdString());
    form.SetFilter(kFilter);
    auto* curDir = Child<QLabel>(form, "CurDirLbl");

    Types(form)->setCurrentIndex(1);
    NameBox(form)->setText("typed");
    QListWidgetItem* sub = DirItem(form, fw + "/sub.zup");
    ASSERT_NE(sub, nullptr);
    emit Dirs(form)->itemDoubleClicked(sub);
    EXPECT_EQ(form.CurrentDirectory(), fw + "/sub.zup");
    EXPECT_EQ(QDir::currentPath(), fw + "/sub.zup");
    EXPECT_EQ(curDir->text(), fw + "/sub.zup");
    EXPECT_EQ(NameBox(form)->text(), "*.bin");  // re-read, the mask is back
    EXPECT_TRUE(Items(Files(form)).isEmpty());

    // Up to an ancestor: the list holds the chain from the drive's root.
    QListWidgetItem* up = DirItem(form, home + "/Firmware");
    ASSERT_NE(up, nullptr);
    ASSERT_NE(DirItem(form, home), nullptr);
    emit Dirs(form)->itemDoubleClicked(up);
    EXPECT_EQ(QDir::currentPath(), home + "/Firmware");
    EXPECT_NE(DirItem(form, fw), nullptr);  // its subdirectory is offered
    EXPECT_EQ(DirItem(form, fw + "/sub.zup"), nullptr);

    EXPECT_FALSE(form.SetCurrentDirectory(home + "/nowhere"));
    EXPECT_EQ(QDir::currentPath(), home + "/Firmware");
}

TEST_F(Chooser, EachDriveKeepsItsOwnDirectory) {
    Remember("C:\\FIRMWARE\\NEW\r\n");
    TForm2 form(home.toStdString());
    const QStringList roots = form.DriveRoots();
    ASSERT_GE(roots.size(), 2);
    EXPECT_EQ(roots[0], home);
    EXPECT_EQ(Drives(form)->currentIndex(), 0);
    const int rootDrive = static_cast<int>(roots.indexOf("/"));
    ASSERT_GE(rootDrive, 0);

    Drives(form)->setCurrentIndex(rootDrive);
    EXPECT_EQ(QDir::currentPath(), "/");
    EXPECT_EQ(Dirs(form)->item(0)->data(Qt::UserRole).toString(), "/");
    Drives(form)->setCurrentIndex(0);
    EXPECT_EQ(QDir::currentPath(), fw);
    EXPECT_EQ(Dirs(form)->item(0)->data(Qt::UserRole).toString(), home);

    // Going to a directory outside home by other means selects the drive that holds it.
    QTemporaryDir outside;
    ASSERT_TRUE(form.SetCurrentDirectory(outside.path()));
    EXPECT_EQ(Drives(form)->currentIndex(), rootDrive);
}

TEST_F(Chooser, ItsStateIsKeptBetweenOpenings) {
    Remember("C:\\FIRMWARE\\NEW\r\n");
    TForm2 form(home.toStdString());
    form.SetFilter(kFilter);

    QTimer::singleShot(0, &form, [&] {
        Files(form)->setCurrentRow(0);
        Ok(form)->click();
    });
    EXPECT_EQ(form.exec(), QDialog::Accepted);
    EXPECT_EQ(form.SelectedFile, "a.zup");

    QDir::setCurrent(home);  // someone else moved; the dialog shows its own directory again
    Touch(fw + "/0new.zup");  // e.g. prepared meanwhile
    QString nameSeen, cwdSeen;
    QStringList filesSeen;
    QTimer::singleShot(0, &form, [&] {
        nameSeen = NameBox(form)->text();
        cwdSeen = QDir::currentPath();
        filesSeen = Items(Files(form));
        Child<QPushButton>(form, "BtnCancel")->click();
    });
    EXPECT_EQ(form.exec(), QDialog::Rejected);
    EXPECT_EQ(nameSeen, "a.zup");
    EXPECT_EQ(cwdSeen, fw);
    EXPECT_EQ(filesSeen, QStringList({"0new.zup", "a.zup", "B.ZUP"}));
    EXPECT_EQ(Files(form)->currentItem()->text(), "a.zup");
}

TEST_F(Chooser, AVanishedDirectoryGivesWayToTheNearestOneLeft) {
    Remember("C:\\FIRMWARE\\NEW\r\n");
    TForm2 form(home.toStdString());
    ASSERT_TRUE(form.SetCurrentDirectory(fw + "/sub.zup"));
    QDir::setCurrent(home);
    ASSERT_TRUE(QDir(fw).removeRecursively());
    QTimer::singleShot(0, &form, [&] { form.reject(); });
    form.exec();
    EXPECT_EQ(form.CurrentDirectory(), home + "/Firmware");
    EXPECT_EQ(QDir::currentPath(), home + "/Firmware");
}

}  // namespace
