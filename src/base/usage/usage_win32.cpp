// The usage words for Windows.
#include "base/usage/usage.h"

const bool usage_slash_help = true;

const char* const usage_gnuplot_install =
    "Install gnuplot for Windows and add its bin folder to the PATH";

const char* const usage_interrupts =
    "130 (Ctrl-C, Ctrl-Break) or 143 (the console closed, logoff, shutdown)";
