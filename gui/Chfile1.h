// Form2, the file chooser: drive list, directory tree, file list, file-type list and the name box.
// Created once at start-up; keeps its directory, selection and typed name between openings.
#pragma once

#include <QDialog>
#include <QMap>
#include <functional>
#include <string>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QTreeView;
class QFileSystemModel;

class TForm2 : public QDialog {
    Q_OBJECT
public:
    // `home` stands for drive C. Reads the remembered directory and makes it the current one.
    explicit TForm2(const std::string& home, QWidget* parent = nullptr);

    std::string SelectedFile;  // the name in the name box when OK was pressed
    std::string DataFilesDir;  // the directory read from the remembered-directory file at creation

    // "Desc|*.ext|Desc|*.ext|" as the main window gives it; the first type becomes selected.
    void SetFilter(const QString& filter);
    QString CurrentDirectory() const;
    // Shows `dir` (and makes it the process's current directory). A directory that does not exist
    // or cannot be entered leaves everything as it was; the result says whether it was taken.
    bool SetCurrentDirectory(const QString& dir);

    // Called with the text of a failed write of the remembered-directory file (message box).
    std::function<void(const std::string&)> OnIoError;

    // The text of a failure to read the remembered-directory file at creation ("" when none); it
    // is reported through OnIoError (or a message box) at the first opening.
    std::string DataFilesReadError;

    // The mask of the selected file type ("*" when no types were given).
    QString CurrentMask() const;
    // The roots the drive list offers, the home directory first.
    QStringList DriveRoots() const;

public slots:
    void FileNameBoxChange(const QString& text);
    void BtnOKClick();
    void BtnCancelClick();
    void FileListBox1DblClick();
    void DirectoryListBox1DblClick(QListWidgetItem* item);
    void FilterComboBox1Change(int index);
    void DriveComboBox1Change(int index);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildControls();
    void ConnectHandlers();
    void FillDrives();
    QString RootOf(const QString& dir) const;
    void FillDirectoryList();
    // Re-reads the file list. With `keepName` the name box and the selection stay (a refresh when
    // the dialog is opened again); otherwise the mask goes into the name box.
    void ReadFileList(bool keepName);
    void ReportIoError(const std::string& message);

    std::string homeStd_; // the home directory as given (where the remembered-directory file is)
    QString home_;        // the real path of the home directory
    QString currentDir_;  // the directory shown, always the process's current directory
    QMap<QString, QString> driveDirs_;  // each root's last directory
    bool filling_ = false;

    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* FileNameBox = nullptr;
    QListWidget* FileListBox1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* CurDirLbl = nullptr;
    QListWidget* DirectoryListBox1 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label5 = nullptr;
    QComboBox* FilterComboBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* DriveComboBox1 = nullptr;
    QPushButton* BtnOK = nullptr;
    QPushButton* BtnCancel = nullptr;
};
