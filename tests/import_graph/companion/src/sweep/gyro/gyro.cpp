#include <cstdio>
#include <nlohmann/json.hpp>
