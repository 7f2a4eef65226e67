#include "outputs/gnuplot/gnuplot.h"
