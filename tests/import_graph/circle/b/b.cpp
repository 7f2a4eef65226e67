#include "c/c.h"
