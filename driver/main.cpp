#include "driver/driver.h"

int main() {
    return driver_run(driver_settings);
}
