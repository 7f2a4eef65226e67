#include "sim/sim_run.h"
