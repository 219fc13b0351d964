#include "history/FileDigest.h"

#include <QFile>
#include <string_view>

#include "base/Sha256.h"
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool FileSha256(const QString& path, QString& hex, QString& error) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = QString("cannot read '%1': %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = QString("'%1' is not a regular file").arg(path);
        return false;
    }
    TSha256 hash;
    char buffer[1 << 16];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) hash.Update(std::string_view(buffer, static_cast<size_t>(n)));
    const int readError = n < 0 ? errno : 0;
    ::close(fd);
    if (readError) {
        error = QString("cannot read '%1': %2").arg(path, QString::fromLocal8Bit(std::strerror(readError)));
        return false;
    }
    hex = QString::fromStdString(hash.HexDigest());
    return true;
}
