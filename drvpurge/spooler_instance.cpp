// The process's one spooler object, built before main: it opens the Service Control Manager and
// the spooler service as the program starts and closes them as it exits.
#include "spooler.h"

namespace {
CSpoolerClass g_Spooler;
}

CSpoolerClass& Spooler() { return g_Spooler; }
