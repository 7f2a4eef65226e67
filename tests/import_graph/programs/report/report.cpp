#include <vector>
#include "tools/cli.h"
