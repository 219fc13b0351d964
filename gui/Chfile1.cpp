#include "gui/Chfile1.h"

#include "base/RunError.h"
#include "records/DataFilesDir.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <pwd.h>
#include <utility>
#include <vector>
#include <unistd.h>

namespace {

QString FromFileBytes(const std::string& s) { return QFile::decodeName(QByteArray::fromStdString(s)); }
std::string ToFileBytes(const QString& s) { return QFile::encodeName(s).toStdString(); }

// True when `dir` is `root` or lies below it.
bool IsUnder(const QString& dir, const QString& root) {
    if (root == "/") return dir.startsWith('/');
    return dir == root || dir.startsWith(root + '/');
}

QString UserName() {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name) return QString::fromLocal8Bit(pw->pw_name);
    return qEnvironmentVariable("USER");
}

QLabel* MakeLabel(const QString& name, const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

constexpr int kPathRole = Qt::UserRole;

}  // namespace

TForm2::TForm2(const std::string& home, QWidget* parent) : QDialog(parent), homeStd_(home) {
    setWindowTitle("Select a File Name");
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);

    QFileInfo homeInfo(FromFileBytes(home));
    home_ = homeInfo.canonicalFilePath();
    if (home_.isEmpty()) home_ = QDir::cleanPath(homeInfo.absoluteFilePath());

    BuildControls();
    ConnectHandlers();

    move(160, 97);
    BtnOK->hide();

    FillDrives();
    try {
        DataFilesDir = ReadDataFilesDir(home);
    } catch (const EInOutError& e) {
        DataFilesReadError = e.what();
        DataFilesDir = home;
    }
    if (!SetCurrentDirectory(FromFileBytes(DataFilesDir)) && !SetCurrentDirectory(home_)) SetCurrentDirectory("/");
}

void TForm2::BuildControls() {
    GroupBox1 = new QGroupBox(this);
    GroupBox1->setObjectName("GroupBox1");
    Label4 = MakeLabel("Label4", "File Name:", GroupBox1);
    FileNameBox = new QLineEdit(GroupBox1);
    FileNameBox->setObjectName("FileNameBox");
    FileListBox1 = new QListWidget(GroupBox1);
    FileListBox1->setObjectName("FileListBox1");
    FileListBox1->setAccessibleName("Files");
    FileListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
    Label2 = MakeLabel("Label2", "Directories:", GroupBox1);
    CurDirLbl = MakeLabel("CurDirLbl", "", GroupBox1);
    CurDirLbl->setAccessibleName("Current directory");
    CurDirLbl->setTextInteractionFlags(Qt::TextSelectableByMouse);
    CurDirLbl->setMinimumWidth(220);
    CurDirLbl->setMaximumWidth(220);
    DirectoryListBox1 = new QListWidget(GroupBox1);
    DirectoryListBox1->setObjectName("DirectoryListBox1");
    Label6 = MakeLabel("Label6", "Double click to change directory", GroupBox1);
    {
        QPalette pal = Label6->palette();
        pal.setColor(QPalette::WindowText, Qt::black);
        Label6->setPalette(pal);
        QFont font = Label6->font();
        font.setPointSizeF(font.pointSizeF() * 0.85);
        Label6->setFont(font);
    }
    Label5 = MakeLabel("Label5", "File Type:", GroupBox1);
    FilterComboBox1 = new QComboBox(GroupBox1);
    FilterComboBox1->setObjectName("FilterComboBox1");
    Label1 = MakeLabel("Label1", "Drive:", GroupBox1);
    DriveComboBox1 = new QComboBox(GroupBox1);
    DriveComboBox1->setObjectName("DriveComboBox1");

    // The labels name their controls for screen readers (and for tests that look them up).
    const std::pair<QLabel*, QWidget*> buddies[] = {{Label4, FileNameBox},
                                                    {Label2, DirectoryListBox1},
                                                    {Label5, FilterComboBox1},
                                                    {Label1, DriveComboBox1}};
    for (auto [label, control] : buddies) {
        label->setBuddy(control);
        control->setAccessibleName(label->text().chopped(1));
    }

    auto* grid = new QGridLayout(GroupBox1);
    grid->addWidget(Label4, 0, 0);
    grid->addWidget(Label2, 0, 1);
    grid->addWidget(FileNameBox, 1, 0);
    grid->addWidget(CurDirLbl, 1, 1);
    grid->addWidget(FileListBox1, 2, 0);
    grid->addWidget(DirectoryListBox1, 2, 1);
    grid->addWidget(Label6, 3, 1);
    grid->addWidget(Label5, 4, 0);
    grid->addWidget(Label1, 4, 1);
    grid->addWidget(FilterComboBox1, 5, 0);
    grid->addWidget(DriveComboBox1, 5, 1);
    FileListBox1->setFixedSize(200, 200);
    DirectoryListBox1->setFixedSize(220, 200);

    BtnOK = new QPushButton("OK", this);
    BtnOK->setObjectName("BtnOK");
    BtnOK->setDefault(true);
    BtnCancel = new QPushButton("Cancel", this);
    BtnCancel->setObjectName("BtnCancel");
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(BtnOK);
    buttons->addWidget(BtnCancel);
    buttons->addStretch();
    auto* top = new QHBoxLayout(this);
    top->addWidget(GroupBox1);
    top->addLayout(buttons);
    top->setSizeConstraint(QLayout::SetFixedSize);  // a fixed dialog, not resizable
}

void TForm2::ConnectHandlers() {
    connect(FileNameBox, &QLineEdit::textChanged, this, &TForm2::FileNameBoxChange);
    connect(FileListBox1, &QListWidget::itemSelectionChanged, this, [this] {
        if (filling_) return;
        const auto selected = FileListBox1->selectedItems();
        if (!selected.isEmpty()) FileNameBox->setText(selected.first()->text());
    });
    connect(FileListBox1, &QListWidget::itemDoubleClicked, this, &TForm2::FileListBox1DblClick);
    connect(DirectoryListBox1, &QListWidget::itemDoubleClicked, this, &TForm2::DirectoryListBox1DblClick);
    connect(FilterComboBox1, &QComboBox::currentIndexChanged, this, &TForm2::FilterComboBox1Change);
    connect(DriveComboBox1, &QComboBox::currentIndexChanged, this, &TForm2::DriveComboBox1Change);
    connect(BtnOK, &QPushButton::clicked, this, &TForm2::BtnOKClick);
    connect(BtnCancel, &QPushButton::clicked, this, &TForm2::BtnCancelClick);
}

QString TForm2::CurrentDirectory() const { return currentDir_; }

QString TForm2::CurrentMask() const {
    const QString mask = FilterComboBox1->currentData(kPathRole).toString();
    return mask.isEmpty() ? QStringLiteral("*") : mask;
}

QStringList TForm2::DriveRoots() const {
    QStringList roots;
    for (int i = 0; i < DriveComboBox1->count(); ++i) roots << DriveComboBox1->itemData(i, kPathRole).toString();
    return roots;
}

void TForm2::SetFilter(const QString& filter) {
    QStringList parts = filter.split('|');
    if (!parts.isEmpty() && parts.back().isEmpty()) parts.removeLast();  // the trailing '|'
    filling_ = true;
    FilterComboBox1->clear();
    for (qsizetype i = 0; i < parts.size(); i += 2) {
        // A description without its mask lists everything.
        const QString mask = i + 1 < parts.size() ? parts[i + 1].trimmed() : QStringLiteral("*");
        FilterComboBox1->addItem(parts[i], mask.isEmpty() ? QStringLiteral("*") : mask);
    }
    filling_ = false;
    if (FilterComboBox1->count() > 0) FilterComboBox1->setCurrentIndex(0);
    ReadFileList(false);
}

bool TForm2::SetCurrentDirectory(const QString& dir) {
    QFileInfo info(dir);
    const QString path = info.canonicalFilePath();
    if (path.isEmpty() || !info.isDir()) return false;
    // Relative names the main window gets from this dialog resolve against the process's current
    // directory, so the dialog only shows a directory the process could change into.
    if (!QDir::setCurrent(path)) return false;
    currentDir_ = path;
    const QString root = RootOf(path);
    driveDirs_[root] = path;
    const int driveIndex = DriveComboBox1->findData(root, kPathRole);
    if (driveIndex >= 0 && driveIndex != DriveComboBox1->currentIndex()) {
        QSignalBlocker block(DriveComboBox1);
        DriveComboBox1->setCurrentIndex(driveIndex);
    }
    CurDirLbl->setText(QDir::toNativeSeparators(path));
    CurDirLbl->setToolTip(CurDirLbl->text());
    FillDirectoryList();
    ReadFileList(false);
    return true;
}

void TForm2::FileNameBoxChange(const QString& text) {
    if (text.contains('*')) return;
    BtnOK->setVisible(!text.isEmpty());
}

void TForm2::BtnOKClick() {
    const QString text = FileNameBox->text();
    SelectedFile = ToFileBytes(text);
    if (text.contains('*')) {
        reject();
        return;
    }
    // The name as typed counts from the process's current directory, as it will when it is opened.
    // Only a file will do: a directory's name would fail later, when it is read as firmware.
    if (text.isEmpty() || !QFileInfo(text).isFile()) {
        reject();
        return;
    }
    try {
        SaveDataFilesDir(ToFileBytes(currentDir_), homeStd_);
    } catch (const EInOutError& e) {
        ReportIoError(e.what());
    }
    accept();
}

void TForm2::BtnCancelClick() { reject(); }

void TForm2::FileListBox1DblClick() { BtnOKClick(); }

void TForm2::DirectoryListBox1DblClick(QListWidgetItem* item) {
    if (!item) return;
    const QString target = item->data(kPathRole).toString();
    if (!target.isEmpty() && target != currentDir_) SetCurrentDirectory(target);
}

void TForm2::FilterComboBox1Change(int) {
    if (!filling_) ReadFileList(false);
}

void TForm2::DriveComboBox1Change(int index) {
    const QString root = DriveComboBox1->itemData(index, kPathRole).toString();
    if (root.isEmpty()) return;
    // Each drive keeps its own current directory, as drive letters do.
    if (SetCurrentDirectory(driveDirs_.value(root, root)) || SetCurrentDirectory(root)) return;
    // The drive cannot be entered (unmounted meanwhile, no permission): stay where we are.
    QSignalBlocker block(DriveComboBox1);
    DriveComboBox1->setCurrentIndex(DriveComboBox1->findData(RootOf(currentDir_), kPathRole));
}

void TForm2::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FillDrives();  // media may have been plugged in or out since the last opening
    if (!QFileInfo(currentDir_).isDir()) {
        // The directory vanished while the dialog was hidden: show the nearest one still there.
        QString dir = currentDir_;
        while (!SetCurrentDirectory(dir)) {
            const QString up = QFileInfo(dir).path();
            if (up == dir) break;
            dir = up;
        }
    } else {
        // Files may have been added meanwhile (the prepared .BIN and .ZUP); the typed name stays.
        QDir::setCurrent(currentDir_);
        FillDirectoryList();
        ReadFileList(true);
    }
    if (!DataFilesReadError.empty()) {
        const std::string message = DataFilesReadError;
        DataFilesReadError.clear();
        QTimer::singleShot(0, this, [this, message] { ReportIoError(message); });
    }
}

void TForm2::FillDrives() {
    std::vector<std::pair<QString, QString>> drives;  // text, root
    drives.emplace_back("C: (home)", home_);
    drives.emplace_back("/", "/");
    const QString user = UserName();
    if (!user.isEmpty()) {
        for (const QString& base : {"/media/" + user, "/run/media/" + user}) {
            const auto entries = QDir(base).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
            for (const QFileInfo& media : entries) {
                const QString root = media.canonicalFilePath();
                if (!root.isEmpty()) drives.emplace_back(media.fileName() + " (" + root + ")", root);
            }
        }
    }
    QSignalBlocker block(DriveComboBox1);
    DriveComboBox1->clear();
    for (const auto& [text, root] : drives) DriveComboBox1->addItem(text, root);
    if (!currentDir_.isEmpty()) DriveComboBox1->setCurrentIndex(DriveComboBox1->findData(RootOf(currentDir_), kPathRole));
}

QString TForm2::RootOf(const QString& dir) const {
    QString best = "/";
    for (const QString& root : DriveRoots())
        if (IsUnder(dir, root) && root.size() > best.size()) best = root;
    return best;
}

void TForm2::FillDirectoryList() {
    // The classic directory list: the drive's root, each directory down to the current one (an
    // open folder), then the current one's subdirectories, each level indented further.
    DirectoryListBox1->clear();
    const QString root = RootOf(currentDir_);
    QStringList chain;
    for (QString dir = currentDir_; dir != root && IsUnder(dir, root);) {
        chain.prepend(dir);
        const QString up = QFileInfo(dir).path();
        if (up == dir) break;
        dir = up;
    }
    chain.prepend(root);
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);
    int level = 0;
    for (const QString& dir : chain) {
        const QString name = dir == root ? QDir::toNativeSeparators(root) : QFileInfo(dir).fileName();
        auto* item = new QListWidgetItem(openIcon, QString(level * 2, ' ') + name, DirectoryListBox1);
        item->setData(kPathRole, dir);
        ++level;
    }
    DirectoryListBox1->setCurrentRow(DirectoryListBox1->count() - 1);
    const auto subdirs =
        QDir(currentDir_).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& sub : subdirs) {
        auto* item = new QListWidgetItem(closedIcon, QString(level * 2, ' ') + sub.fileName(), DirectoryListBox1);
        item->setData(kPathRole, sub.absoluteFilePath());
    }
}

void TForm2::ReadFileList(bool keepName) {
    const QString mask = CurrentMask();
    QString selected;
    if (const auto items = FileListBox1->selectedItems(); !items.isEmpty()) selected = items.first()->text();

    filling_ = true;
    FileListBox1->clear();
    QStringList patterns;
    for (const QString& p : mask.split(';', Qt::SkipEmptyParts)) patterns << p.trimmed();
    // Name filters match without regard to case, so "*.zup" lists "FW.ZUP" too.
    const QStringList files = QDir(currentDir_).entryList(patterns, QDir::Files, QDir::Name | QDir::IgnoreCase);
    FileListBox1->addItems(files);
    if (keepName && !selected.isEmpty()) {
        const auto found = FileListBox1->findItems(selected, Qt::MatchExactly);
        if (!found.isEmpty()) FileListBox1->setCurrentItem(found.first());
    }
    filling_ = false;
    if (!keepName) FileNameBox->setText(mask);
}

void TForm2::ReportIoError(const std::string& message) {
    if (OnIoError) {
        OnIoError(message);
        return;
    }
    QMessageBox::critical(this, windowTitle(), QString::fromLocal8Bit(message.c_str(), static_cast<qsizetype>(message.size())));
}
