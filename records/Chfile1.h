// Form2, the file chooser: drive list, directory tree, file list, file-type list and the name box.
// Created once at start-up; keeps its directory, selection and typed name between openings.
#pragma once

#include <QDialog>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTreeView;
class QFileSystemModel;

class TForm2 : public QDialog {
    Q_OBJECT
public:
    // `home` stands for drive C. Reads the remembered directory and makes it the current one.
    explicit TForm2(const std::string& home, QWidget* parent = nullptr);

    std::string SelectedFile;  // the name in the name box when OK was pressed

    // "Desc|*.ext|Desc|*.ext|" as the main window gives it; the first type becomes selected.
    void SetFilter(const QString& filter);
    QString CurrentDirectory() const;
    void SetCurrentDirectory(const QString& dir);

    // Called with the text of a failed write of the remembered-directory file (message box).
    std::function<void(const std::string&)> OnIoError;
};
