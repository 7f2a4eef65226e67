#include "exit/exit_status.h"
