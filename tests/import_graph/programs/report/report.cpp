#include "tools/cli.h"
#include <vector>
