#include "records/archive/archive.h"
#include "outputs/report/reportout.h"
