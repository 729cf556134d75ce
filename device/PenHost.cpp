#include "PenHost.h"

namespace {
PenHost* g_host = nullptr;
}

void setPenHost(PenHost* host) { g_host = host; }

PenHost* penHost() { return g_host; }
