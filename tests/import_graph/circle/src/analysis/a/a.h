#pragma once
#include "analysis/b/b.h"
