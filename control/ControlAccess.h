// Who may talk to a station's control socket: where it may listen (a folder of the station's own),
// which local users may connect, and the token a TCP client must present.
#pragma once

#include <string>
#include <sys/types.h>

struct TControlAddress {
    enum class TKind { Unix, Tcp };
    TKind Kind = TKind::Unix;
    std::string Path;  // unix: the socket's absolute path
    std::string Host;  // tcp: a numeric address, or "localhost"
    int Port = 0;      // tcp
    std::string Text() const;
};
// "unix:PATH" or "tcp:HOST:PORT" (an IPv6 host in brackets); false with `error` otherwise.
bool ParseControlAddress(const std::string& text, TControlAddress& address, std::string& error);

// The socket's folder made (0750) or checked: it must be a folder of this user's that no one else
// may write to or enter without its group. "" when it is fit, otherwise why not.
std::string PrepareSocketFolder(const std::string& socketPath);

// Whether the peer on `fd` (a connected local socket) may talk to a socket of group `socketGroup`:
// this process's user, root, or a process in that group (its own groups, as the kernel has them).
// `who` says who the peer is, for the log.
bool PeerAllowed(int fd, gid_t socketGroup, std::string& who);

// The token of `path`: the station user's own file, readable by no one else (0600 or tighter), on a
// way no other user could have changed; at least 16 characters once blanks at its ends are cut.
// False with `error` naming what is wrong.
bool ReadControlToken(const std::string& path, std::string& token, std::string& error);

// Equal without telling by its time how much of `given` matched.
bool SameToken(const std::string& given, const std::string& token);
