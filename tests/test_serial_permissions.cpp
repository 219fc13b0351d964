// A port that the user may not open, as a Linux user without the dialout group meets it: the open
// fails, nothing stays claimed, and the system's reason is there to be shown.
#include "serial/Serial4.h"
#include "host/Ports.h"
#include "tests/support/AsUser.h"
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
        port.SetPortRule(ComRule(folder));
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
    port.SetPortRule(ComRule(folder));
    port.SetPort(4);
    port.SetActive(true);
    EXPECT_TRUE(port.Active());
    port.SetActive(false);
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
}

// A COM<n> link is followed only when it is this user's or root's own: another user's link in a
// folder they can write to would send the upload to a terminal of theirs.
TEST(SerialPermissions, OnlyAComLinkOfThisUserOrRootIsFollowed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the link to another user";
    char tmpl[] = "/tmp/zup-link-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string folder = std::string(tmpl) + "/";
    ASSERT_EQ(chmod(tmpl, 0755), 0);
    TestPty pty;
    ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0666), 0);
    pty.LinkAs(folder, 2);
    const std::string link = folder + "COM2";
    auto attempt = [&] {
        TSerial port;
        port.NotifyErrors = neNone;
        port.SetLockFolder("");
        port.SetPortRule(ComRule(folder));
        port.SetPort(2);
        port.SetActive(true);
        return port.Active() ? std::string("open") : port.ErrorText();
    };
    const std::string refused = "Operation not permitted: " + link +
                                " belongs to user nobody (uid 65534), neither this user nor root: not followed; "
                                "remove it and make the link yourself";
    struct Row {
        const char* what;
        uid_t linkOwner;
        bool asNobody;
        std::string result;
    } rows[] = {
        {"root's link, root opening", 0, false, "open"},
        {"another user's link, root opening", 65534, false, refused},
        {"root's link, another user opening", 0, true, "open"},
        {"that user's own link", 65534, true, "open"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(lchown(link.c_str(), row.linkOwner, row.linkOwner), 0);
        if (!row.asNobody) {
            EXPECT_EQ(attempt(), row.result);
            continue;
        }
        EXPECT_EQ(RunAsUser(kNobody, kNobody, attempt), row.result);
    }
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
}
