#include "scan/engine_clocks.h"

EngineClocks g_engineClocks;
