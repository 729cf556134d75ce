#include "StreamCapture.h"

#include <QFile>
#include <QTest>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {
int redirect(int fd, const QString& path)
{
    const int saved = ::dup(fd);
    const int file = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(file, fd);
    ::close(file);
    return saved;
}

QByteArray readAll(const QString& path)
{
    std::fflush(stdout);
    std::fflush(stderr);
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
}

StreamCapture::StreamCapture()
{
    std::fflush(stdout);
    std::fflush(stderr);
    m_savedOut = redirect(STDOUT_FILENO, m_dir.filePath(QStringLiteral("out")));
    m_savedErr = redirect(STDERR_FILENO, m_dir.filePath(QStringLiteral("err")));
}

StreamCapture::~StreamCapture() { stop(); }

void StreamCapture::stop()
{
    if (m_savedOut < 0)
        return;
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(m_savedOut, STDOUT_FILENO);
    ::dup2(m_savedErr, STDERR_FILENO);
    ::close(m_savedOut);
    ::close(m_savedErr);
    m_savedOut = m_savedErr = -1;
    if (QTest::currentTestFailed()) {
        const QByteArray out = this->out();
        const QByteArray err = this->err();
        std::fprintf(stdout, "--- captured stdout ---\n%s--- captured stderr ---\n%s---\n", out.constData(),
            err.constData());
        std::fflush(stdout);
    }
}

QByteArray StreamCapture::out() const { return readAll(m_dir.filePath(QStringLiteral("out"))); }

QByteArray StreamCapture::err() const { return readAll(m_dir.filePath(QStringLiteral("err"))); }
