// morvane's parsing of the PMIC GPIO text and the ADC text. The input holds
// both: the SPMI data text, a NUL byte, then the rf_id text. fopen of those
// two device files is answered from the input; every other path opens as usual.
#include <dlfcn.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "morvane_strap.h"

namespace {
std::string g_spmi;
std::string g_adc;
}  // namespace

extern "C" FILE *fopen(const char *path, const char *mode)
{
    const std::string *text = nullptr;
    if (strcmp(path, SPMI_DATA) == 0) text = &g_spmi;
    if (strcmp(path, RFID_ADC_NODE) == 0) text = &g_adc;
    using fopen_fn = FILE *(*)(const char *, const char *);
    static const auto real = reinterpret_cast<fopen_fn>(dlsym(RTLD_NEXT, "fopen"));
    if (text == nullptr) return real(path, mode);
    if (text->empty()) return real("/dev/null", mode);
    return fmemopen(const_cast<char *>(text->data()), text->size(), mode);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string in(reinterpret_cast<const char *>(data), size);
    const size_t cut = in.find('\0');
    g_spmi = in.substr(0, cut);
    g_adc = cut == std::string::npos ? std::string() : in.substr(cut + 1);

    const int gpio = get_rfid_gpio();
    if (gpio != 0 && gpio != 1) abort();
    const int adc = get_rfid_adc();
    if (adc > INT_MAX / 1000 || adc < INT_MIN / 1000) abort();
    const char *config = morvane_lookup(gpio * 100000 + adc);
    if (config != nullptr && strlen(config) >= 64) abort();
    return 0;
}
