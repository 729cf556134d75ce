#pragma once

#include <QByteArray>
#include <QTemporaryDir>

// Sends what the process writes to its standard output and standard error into two files,
// from construction until stop() or destruction. The lines can be read while capturing.
// If the test failed meanwhile, what was captured is passed on, so QtTest's own failure
// messages are not lost.
class StreamCapture {
public:
    StreamCapture();
    ~StreamCapture();
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    void stop();
    QByteArray out() const;
    QByteArray err() const;

private:
    QTemporaryDir m_dir;
    int m_savedOut = -1;
    int m_savedErr = -1;
};
