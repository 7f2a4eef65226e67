#include "base/exit/exit_status.h"
