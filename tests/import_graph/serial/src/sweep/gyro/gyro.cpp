#include "sweep/serial/serial.h"
#include "base/exit/exit_status.h"
