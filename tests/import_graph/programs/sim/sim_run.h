#pragma once
#include "programs/cli.h"
