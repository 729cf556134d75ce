#pragma once

#include <QtTest>

// The main window reads and writes a pen in the background: waits until it has nothing left to
// do on any pen, the results applied. False when that takes longer than the time given.
template <typename App> bool waitForPenJobs(const App& app, int timeoutMs = 30000)
{
    return QTest::qWaitFor([&app] { return !app.session()->penJobsRunning(); }, timeoutMs);
}
