#pragma once
#include "analysis/a/a.h"
