#include <Eigen/Dense>
#include "sweep/gyro/gyro.h"
