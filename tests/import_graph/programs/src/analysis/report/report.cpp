#include "programs/cli.h"
