#pragma once

// The window's thread never touches a pen's files: every read and write of a pen is a job of
// the pen's session. Tests of the window turn this guard on, so that a pen file opened on the
// main thread stops the test program with the place named, instead of waiting for a reader to
// notice it in a trace.
void setMainThreadPenGuard(bool on);
bool mainThreadPenGuard();
// Called where a pen's file or folder is opened.
void checkNotMainThread(const char* what);

// Test code that reads a pen's files itself (to check what the program wrote) does so inside
// one of these.
class MainThreadPenGuardPause {
public:
    MainThreadPenGuardPause();
    ~MainThreadPenGuardPause();
    MainThreadPenGuardPause(const MainThreadPenGuardPause&) = delete;
    MainThreadPenGuardPause& operator=(const MainThreadPenGuardPause&) = delete;

private:
    bool m_was;
};

// Runs `read` with the guard paused: a test reading what the program wrote.
template <typename Read> auto readUnguarded(Read read)
{
    const MainThreadPenGuardPause pause;
    return read();
}
