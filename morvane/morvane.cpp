// morvane: reads the board's radio-frequency identification strap (a PMIC
// GPIO bit and an ADC value), maps it to a band configuration string and
// stores that string once as unit 2551 of the persistent configuration store.
// Every step is reported on the kernel log; the exit status tells the outcome.
#include "morvane_strap.h"
#include "nvkeep.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t BANDCONFIG_UNIT = 2551;
constexpr int NVKEEP_NO_DATA = NVKEEP_EMPTY;  // the unit holds nothing yet

char logbuf[256];

// Posts one formatted kernel-log command built in logbuf.
__attribute__((format(printf, 1, 2))) void morvane_log(const char *format, ...)
{
    memset(logbuf, 0, sizeof(logbuf));
    va_list ap;
    va_start(ap, format);
    vsnprintf(logbuf, sizeof(logbuf), format, ap);
    va_end(ap);
    morvane_sh(logbuf);
}

}  // namespace

int main(int, char **)
{
    int status = 1;
    uint32_t size = 0;
    int rc = nvkeep_get_unit_size(BANDCONFIG_UNIT, &size);
    if (rc != NVKEEP_OK && rc != NVKEEP_NO_DATA) {
        morvane_log("echo \"morvane: Failed to get size with error 0x%X.\" > /dev/kmsg",
                    static_cast<unsigned>(rc));
        // The shell sees the low 8 bits; a code that would read as 0 must not
        // look like success.
        status = (rc & 0xFF) != 0 ? rc : 1;
        return status;
    }
    if (rc == NVKEEP_OK && size != 0) {
        morvane_sh("echo \"morvane: Bandconfig exists, nothing to do.\" > /dev/kmsg");
        return 0;
    }
    morvane_sh("echo \"morvane: No Bandconfig data found. Proceed to write.\" > /dev/kmsg");

    int gpio = get_rfid_gpio();
    morvane_log("echo \"morvane: GPIO: %d\" > /dev/kmsg", gpio);
    int adc = get_rfid_adc();
    morvane_log("echo \"morvane: ADC: %d\" > /dev/kmsg", adc);

    const char *config = morvane_lookup(gpio * 100000 + adc);
    if (config == nullptr) {
        morvane_sh("echo \"morvane: No Bandconfig matches.\" > /dev/kmsg");
        return status;
    }
    morvane_log("echo \"morvane: %s matches.\" > /dev/kmsg", config);
    rc = nvkeep_write_unit(BANDCONFIG_UNIT, config, static_cast<uint32_t>(strlen(config) + 1));
    if (rc != NVKEEP_OK) {
        morvane_log("echo \"morvane: Failed to write with error 0x%X.\" > /dev/kmsg",
                    static_cast<unsigned>(rc));
        return status;
    }
    morvane_sh("echo \"morvane: Written successfully.\" > /dev/kmsg");
    return 0;
}
