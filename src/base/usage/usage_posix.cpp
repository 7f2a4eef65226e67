// The usage words for Linux and other POSIX systems.
#include "base/usage/usage.h"

const bool usage_slash_help = false;

const char* const usage_gnuplot_install = "Install gnuplot (Debian: apt-get install gnuplot-nox)";

const char* const usage_interrupts = "129/130/143 (SIGHUP, Ctrl-C, SIGTERM)";
