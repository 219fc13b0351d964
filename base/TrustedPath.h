// Whether a file that decides what goes into a unit (a recipe, the firmware it names) can have
// been put or changed there by someone other than the people it belongs to, judged the way OpenSSH
// judges a key file and sudo its configuration: every folder on the way, links resolved, and
// every link on it.
#pragma once

#include <string>

// "" when `path` may be trusted; otherwise why not, naming the folder or link. The users trusted
// are root, the one running the program and the owner of the file reached (who can change it in
// any case). The way may be trusted when, at each step from "/" to the file, links followed:
// - the folder belongs to a trusted user (its owner may change its mode and anything in it);
// - no other user may write to the folder: neither others nor its group, unless the group is a
//   trusted user's own (named after that user, their primary group, with no other member listed);
//   a folder that others may write to is accepted only with its sticky bit, and then what lies in
//   it on the way must belong to root or to the one running the program (as the kernel's
//   protected_symlinks judges: in /tmp anyone may plant a name, even the file owner's);
// - a link belongs to a trusted user.
// When `fd` is an open descriptor, the file reached must be the one it holds (nothing was swapped
// in between). A way that cannot be followed is refused with the system's reason.
std::string UntrustedPathReason(const std::string& path, int fd = -1);
