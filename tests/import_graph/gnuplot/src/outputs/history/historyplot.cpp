#include "outputs/gnuplot/gnuplot.h"
#include "records/history/history.h"
