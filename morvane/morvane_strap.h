// The board's radio-frequency identification strap: reading its PMIC GPIO bit
// and its ADC value, and the table that maps the two to a band configuration.
#pragma once

#include <cstdint>

// The files the strap is read from: the SPMI debug data of the PMIC register,
// and the ADC channel's "Result:%d Raw:%d" text.
constexpr const char *SPMI_DATA = "/sys/kernel/debug/spmi/spmi-0/data";
constexpr const char *RFID_ADC_NODE = "/sys/devices/qpnp-vadc-f610ec00/rf_id";

// Runs one shell command; its failure is not reported.
void morvane_sh(const char *command);

// The strap's GPIO bit, 0 or 1; 0 when the register cannot be read.
int get_rfid_gpio(void);
// The strap's ADC result divided by 1000; 0 when it cannot be read.
int get_rfid_adc(void);
// The band configuration of the key GPIO * 100000 + ADC: nullptr when no
// range of the table holds the key, or its range has no configuration.
const char *morvane_lookup(int32_t key);
