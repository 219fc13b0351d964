// Where the program keeps its files: its own folder while it may write there and is not an
// installed copy, else the per-user data folder; and where the help file is found.
#include "host/Folders.h"
#include "tests/support/TempDir.h"

#include <QCoreApplication>
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

// Runs ResolveProgramFolder as an ordinary user (root may write anywhere, so it would never meet
// a read-only folder) and hands back its answer.
std::string ResolveAsUser(const std::string& executableFolder) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return "pipe failed";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(10);
        const std::string answer = ResolveProgramFolder(executableFolder);
        ssize_t n = ::write(pipeFds[1], answer.data(), answer.size());
        ::_exit(n == static_cast<ssize_t>(answer.size()) ? 0 : 11);
    }
    ::close(pipeFds[1]);
    std::string answer;
    char buf[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) answer.append(buf, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed " + std::to_string(status);
    return answer;
}

}  // namespace

TEST(ProgramFolder, WritableOwnFolderElseTheUsersDataFolder) {
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
        mode_t mode;
        bool installedHelp;  // share/zupflshc/ZURuzada.HLP beside the parent, as an installation has
        std::string expected;
    } rows[] = {
        {"a build folder", tmp / "build/bin", 0777, false, tmp / "build/bin/"},
        {"a folder with a trailing slash", tmp / "copy/", 0777, false, tmp / "copy/"},
        {"a read-only folder", tmp / "usr/bin", 0555, false, dataFolder},
        {"an installation the user may write to", tmp / "prefix/bin", 0777, true, dataFolder},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(tmp / "data/zupflshc");
        fs::create_directories(row.executableFolder);
        ASSERT_EQ(::chmod(row.executableFolder.c_str(), row.mode), 0);
        if (row.installedHelp) Touch(row.executableFolder + "/../share/zupflshc/ZURuzada.HLP");
        EXPECT_EQ(ResolveAsUser(row.executableFolder), row.expected);
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
