// Where the program keeps its files: its own folder while it may write there and is not an
// installed copy, else the per-user data folder; and where the help file is found.
#include "host/Folders.h"
#include "tests/support/AsUser.h"
#include "tests/support/TempDir.h"

#include <QCoreApplication>
#include <QProcess>
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

void Touch(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << "<html></html>";
}

// ChooseProgramFolder as an ordinary user (root may write anywhere, so it would never meet a
// read-only folder): "path|reason".
std::string ChooseAsUser(const std::string& executableFolder) {
    return RunAsUser(kNobody, kNobody, [&] {
        const TProgramFolder chosen = ChooseProgramFolder(executableFolder);
        return chosen.Path + "|" + chosen.Reason;
    });
}

}  // namespace

TEST(ProgramFolder, OwnFolderOnlyWhenNoOtherUserCanWriteItElseTheUsersDataFolder) {
    TempDir tmp;
    ASSERT_EQ(::chmod(tmp.Path().c_str(), 0755), 0);
    const std::string dataHome = tmp / "data";
    fs::create_directories(dataHome);
    ASSERT_EQ(::chmod(dataHome.c_str(), 0777), 0);  // the ordinary user must be able to create its folder
    ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    QCoreApplication::setApplicationName("zupflshc");
    const std::string dataFolder = dataHome + "/zupflshc/";

    struct Row {
        const char* what;
        std::string executableFolder;
        uid_t owner;
        mode_t mode;
        bool installedHelp;  // share/zupflshc/ZURuzada.HLP beside the parent, as an installation has
        std::string expected;
        const char* why;
    } rows[] = {
        {"a build folder of this user's", tmp / "build/bin", kNobody, 0755, false, tmp / "build/bin/", "own folder"},
        {"a folder with a trailing slash", tmp / "copy/", kNobody, 0700, false, tmp / "copy/", "own folder"},
        {"a folder everyone may write to", tmp / "open", kNobody, 0777, false, dataFolder, "other users can write"},
        {"a folder the group may write to", tmp / "shared", kNobody, 0775, false, dataFolder, "(mode 0775)"},
        {"a sticky folder like /tmp", tmp / "sticky", 0, 01777, false, dataFolder, "(mode 1777)"},
        {"another user's folder", tmp / "theirs", 12345, 0755, false, dataFolder, "another user (uid 12345)"},
        {"a read-only folder", tmp / "usr/bin", 0, 0555, false, dataFolder, "may not write"},
        {"an installation the user may write to", tmp / "prefix/bin", kNobody, 0755, true, dataFolder, "installed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(tmp / "data/zupflshc");
        fs::create_directories(row.executableFolder);
        ASSERT_EQ(::chown(row.executableFolder.c_str(), row.owner, row.owner), 0);
        ASSERT_EQ(::chmod(row.executableFolder.c_str(), row.mode), 0);
        if (row.installedHelp) Touch(row.executableFolder + "/../share/zupflshc/ZURuzada.HLP");
        const std::string answer = ChooseAsUser(row.executableFolder);
        EXPECT_EQ(answer.substr(0, answer.find('|')), row.expected);
        EXPECT_NE(answer.find(row.why), std::string::npos) << answer;
        // The data folder is made for the program's first write.
        EXPECT_EQ(fs::is_directory(dataFolder), row.expected == dataFolder);
    }
    ::unsetenv("XDG_DATA_HOME");
}

TEST(ProgramFolder, HelpFileFromTheProgramFolderElseTheInstalledCopy) {
    TempDir tmp;
    const std::string own = tmp / "own/";
    const std::string installed = tmp / "share/zupflshc/ZURuzada.HLP";
    fs::create_directories(own);
    Touch(installed);
    ::setenv("XDG_DATA_HOME", (tmp / "nothing-here").c_str(), 1);
    ::setenv("XDG_DATA_DIRS", (tmp / "share").c_str(), 1);

    EXPECT_EQ(HelpFilePath(own), installed);
    Touch(own + "ZURuzada.HLP");
    EXPECT_EQ(HelpFilePath(own), own + "ZURuzada.HLP");
    // Nowhere at all: the program folder's name, so the operator is told where it should be.
    fs::remove(own + "ZURuzada.HLP");
    fs::remove(installed);
    EXPECT_EQ(HelpFilePath(own), own + "ZURuzada.HLP");
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_DATA_DIRS");
}

// Installed, the simulated unit must put its COM<n> link where the installed program looks for it,
// and speak under the name it was installed as.
TEST(ProgramFolder, TheInstalledSimulatedUnitLinksWhereTheInstalledProgramLooks) {
    TempDir tmp;
    const std::string bin = tmp / "usr/bin";
    fs::create_directories(bin);
    Touch(tmp / "usr/share/zupflshc/ZURuzada.HLP");
    const std::string sim = bin + "/zupflshc-simulated-unit";
    fs::copy_file(ZUP_SIM_PATH, sim);
    ::setenv("XDG_DATA_HOME", (tmp / "data").c_str(), 1);
    QCoreApplication::setApplicationName("zupflshc");
    const std::string looked = ChooseProgramFolder(bin).Path + "COM7";

    QProcess unit;
    unit.start(QString::fromStdString(sim), {"--port", "7", "--exit-with-parent"});
    ASSERT_TRUE(unit.waitForStarted());
    ASSERT_TRUE(unit.waitForReadyRead(10000)) << unit.readAllStandardError().toStdString();
    EXPECT_EQ(unit.readLine().trimmed().toStdString(), "ready " + looked);
    EXPECT_TRUE(fs::is_symlink(looked));
    unit.terminate();
    ASSERT_TRUE(unit.waitForFinished(10000));
    EXPECT_FALSE(fs::exists(fs::symlink_status(looked)));

    QProcess wrong;
    wrong.start(QString::fromStdString(sim), {"--no-such-switch"});
    ASSERT_TRUE(wrong.waitForFinished(10000));
    EXPECT_TRUE(wrong.readAllStandardError().startsWith("zupflshc-simulated-unit: "));
    ::unsetenv("XDG_DATA_HOME");
}
