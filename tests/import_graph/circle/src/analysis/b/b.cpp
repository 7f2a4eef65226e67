#include "analysis/c/c.h"
#include "base/text/text.h"
