#include "MainThreadGuard.h"

#include "Log.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <cstdlib>

namespace {
std::atomic<bool> g_guard { false };
}

void setMainThreadPenGuard(bool on) { g_guard = on; }

bool mainThreadPenGuard() { return g_guard; }

void checkNotMainThread(const char* what)
{
    if (!g_guard)
        return;
    const QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread()) {
        logErr("A pen's file was opened on the main thread: %s\n", what);
        std::abort();
    }
}

MainThreadPenGuardPause::MainThreadPenGuardPause()
    : m_was(g_guard.exchange(false))
{
}

MainThreadPenGuardPause::~MainThreadPenGuardPause() { g_guard = m_was; }
