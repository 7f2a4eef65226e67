#include "sim/sim_run.h"
#include "analysis/report/report.h"
