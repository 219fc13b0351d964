// A port that the user may not open, as a Linux user without the dialout group meets it: the open
// fails, nothing stays claimed, and the system's reason is there to be shown.
#include "serial/Serial4.h"
#include "tests/support/Pty.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

TEST(SerialPermissions, APortOwnedByDialoutRefusesOtherUsers) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to play a user outside the dialout group";
    char tmpl[] = "/tmp/zup-perm-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string folder = std::string(tmpl) + "/";
    ASSERT_EQ(chmod(tmpl, 0755), 0);
    TestPty pty;
    pty.LinkAs(folder, 4);
    // As a serial device is set up: root:dialout, read and write for the group only.
    const group* dialout = getgrnam("dialout");
    const gid_t gid = dialout ? dialout->gr_gid : 20;
    ASSERT_EQ(chown(pty.SlavePath().c_str(), 0, gid), 0);
    ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0660), 0);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A user that is not in the dialout group.
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        TSerial port;
        port.NotifyErrors = neNone;
        port.SetDeviceFolder(folder);
        port.SetPort(4);
        port.SetBaudrate(38400);
        port.SetActive(true);
        if (port.Active()) _exit(11);
        if (port.ErrorCode() != EACCES) _exit(12);
        if (port.ErrorText().find("ermission") == std::string::npos) _exit(13);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: could not drop privileges, 11: opened, 12: other error, 13: no reason text";

    // The refusal left nothing claimed: the owner's group can still open it.
    TSerial port;
    port.NotifyErrors = neNone;
    port.SetDeviceFolder(folder);
    port.SetPort(4);
    port.SetActive(true);
    EXPECT_TRUE(port.Active());
    port.SetActive(false);
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
}
