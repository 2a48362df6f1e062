// morvane's reading of the board's radio-frequency identification strap
// (a PMIC GPIO bit and an ADC value) and its table of band configurations.
#include "morvane_strap.h"

#include <array>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned RFID_GPIO_REG = 0xCB08;
constexpr int RFID_INVERT_GPIO = 8;

struct band_t {
    int32_t lower;       // inclusive; negative marks the end of the table
    int32_t upper;       // inclusive
    const char *config;  // null: a known range without a configuration
};

// Key = GPIO * 100000 + ADC; searched in order, the first match wins.
constexpr std::array<band_t, 19> band_table = {{
    {101705, 101899, "WIFI"},
    {101420, 101594, nullptr},
    {101236, 101395, "L13578_28_40W1258"},
    {101087, 101231, "L24_17W12458"},
    {100801, 100917, "L138_41LCA18W158"},
    {100565, 100653, "L1234578_13_17_20W12458"},
    {100353, 100414, "WIFI_JP"},
    {100215, 100256, "L1234578_13_17_19_20W124568_19"},
    {100000, 100057, "L1234578_17_20W12458"},
    {1705, 1899, "L1234578_13_17_20W12458"},
    {1420, 1594, "W1258"},
    {1236, 1395, "L13_19_21W156_19"},
    {1087, 1231, "C06L13_17_26_41LCA1_26W125"},
    {801, 917, "L1234578_13_17_20LCA3_20W12458"},
    {565, 653, nullptr},
    {353, 414, "L1234578_17_20W12458"},
    {215, 256, "L137_38_39_40_41T_34_39W1258"},
    {0, 57, nullptr},
    {-1, -1, nullptr},
}};

// Reads a decimal integer the way "%d" does (leading white space, an
// optional sign, digits) but clamps a number outside the int range to
// INT_MIN or INT_MAX: scanf's result for such a number is undefined, and a
// wider type does not help where long is 32 bits. False when no digit comes.
bool morvane_scan_int(FILE *f, int *out)
{
    int c = fgetc(f);
    while (c != EOF && isspace(c)) c = fgetc(f);
    const bool negative = c == '-';
    if (c == '-' || c == '+') c = fgetc(f);
    if (c == EOF || !isdigit(c)) return false;
    int64_t value = 0;
    for (; c != EOF && isdigit(c); c = fgetc(f)) {
        if (value <= INT64_C(0xFFFFFFFF)) value = value * 10 + (c - '0');  // stays far below INT64_MAX
    }
    if (negative) value = -value;
    *out = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
    return true;
}

}  // namespace

// Runs one shell command. Its failure is not reported: a PMIC reader then
// parses nothing and keeps its value at 0, and a lost log line changes nothing.
void morvane_sh(const char *command)
{
    int rc = system(command);
    (void)rc;
}

const char *morvane_lookup(int32_t key)
{
    const band_t *row = band_table.data();
    while (row->lower >= 0 && !(row->lower <= key && key <= row->upper)) ++row;
    return row->config;
}

int get_rfid_gpio(void)
{
    char cmd[128];
    memset(cmd, 0, sizeof(cmd));
    snprintf(cmd, sizeof(cmd), "echo 0x%04X > /sys/kernel/debug/spmi/spmi-0/address", RFID_GPIO_REG);
    morvane_sh(cmd);
    memset(cmd, 0, sizeof(cmd));
    snprintf(cmd, sizeof(cmd), "echo 1 > /sys/kernel/debug/spmi/spmi-0/count");
    morvane_sh(cmd);

    unsigned int addr = 0;
    unsigned int value = 0;
    if (FILE *f = fopen(SPMI_DATA, "r")) {
        if (fscanf(f, "%x -- -- -- -- -- -- -- -- %x", &addr, &value) != 2) value = 0;
        fclose(f);
    }
    return static_cast<int>(value & 1u);
}

int get_rfid_adc(void)
{
    char cmd[128];
    memset(cmd, 0, sizeof(cmd));
    snprintf(cmd, sizeof(cmd), "echo 1 > /sys/kernel/debug/qpnp_pin/pm8941-gpio/%d/invert", RFID_INVERT_GPIO);
    morvane_sh(cmd);

    // "Result:%d Raw:%d"; the raw code is not used.
    int result = 0;
    if (FILE *f = fopen(RFID_ADC_NODE, "r")) {
        int at = -1;
        if (fscanf(f, "Result:%n", &at) == EOF || at < 0 || !morvane_scan_int(f, &result)) result = 0;
        fclose(f);
    }

    memset(cmd, 0, sizeof(cmd));
    snprintf(cmd, sizeof(cmd), "echo 0 > /sys/kernel/debug/qpnp_pin/pm8941-gpio/%d/invert", RFID_INVERT_GPIO);
    morvane_sh(cmd);
    return static_cast<int>(result) / 1000;
}
