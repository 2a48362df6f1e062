// The device server's pure logic: control lines, the record stream and rate,
// record contents and the PMIC files' texts as their readers parse them.
#include "../../sim/devices/simdevd_model.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

simdevd_ctl_t parse_ok(std::string_view line)
{
    simdevd_ctl_t c;
    std::string err;
    EXPECT_EQ(simdevd_parse_ctl(line, &c, &err), 0) << line << ": " << err;
    return c;
}

void apply(simdevd_model_t *m, std::string_view line, uint64_t now = 0)
{
    simdevd_apply(m, parse_ok(line), now);
}

// Takes every record due at `now`: (type, size) pairs in order.
std::vector<std::pair<uint32_t, uint32_t>> drain(simdevd_model_t *m, uint64_t now = 0)
{
    std::vector<std::pair<uint32_t, uint32_t>> out;
    uint32_t type, size;
    while (simdevd_peek(m, now, &type, &size) && out.size() < 1000) {
        out.emplace_back(type, size);
        simdevd_take(m);
    }
    return out;
}

constexpr uint64_t MS = 1000000;

TEST(SimdevdNumbers, DecimalHexSignAndBounds)
{
    int64_t v = 0;
    EXPECT_TRUE(simdevd_parse_int("32", 0, 100, &v));
    EXPECT_EQ(v, 32);
    EXPECT_TRUE(simdevd_parse_int("0x20", 0, 100, &v));
    EXPECT_EQ(v, 32);
    EXPECT_TRUE(simdevd_parse_int("0XcB08", 0, 0xFFFFF, &v));
    EXPECT_EQ(v, 0xCB08);
    EXPECT_TRUE(simdevd_parse_int("010", 0, 100, &v)); // decimal, not octal
    EXPECT_EQ(v, 10);
    EXPECT_TRUE(simdevd_parse_int("-500", INT64_MIN, INT64_MAX, &v));
    EXPECT_EQ(v, -500);
    EXPECT_TRUE(simdevd_parse_int("-9223372036854775808", INT64_MIN, INT64_MAX, &v));
    EXPECT_EQ(v, INT64_MIN);

    v = 77;
    for (const char *bad : {"", "-", "0x", "12x", "x12", "+5", "--5", " 5", "1 ", "0x-1"})
        EXPECT_FALSE(simdevd_parse_int(bad, INT64_MIN, INT64_MAX, &v)) << bad;
    EXPECT_FALSE(simdevd_parse_int("-1", 0, 100, &v));                  // no sign unless allowed
    EXPECT_FALSE(simdevd_parse_int("3", 4, 100, &v));                   // below min
    EXPECT_FALSE(simdevd_parse_int("101", 0, 100, &v));                 // above max
    EXPECT_FALSE(simdevd_parse_int("-11", -10, 10, &v));
    EXPECT_FALSE(simdevd_parse_int("9223372036854775808", 0, INT64_MAX, &v));
    EXPECT_FALSE(simdevd_parse_int("-9223372036854775809", INT64_MIN, INT64_MAX, &v));
    EXPECT_FALSE(simdevd_parse_int("99999999999999999999999", 0, INT64_MAX, &v));
    EXPECT_EQ(v, 77); // untouched by failures
}

TEST(SimdevdControl, EveryLineOfTheContract)
{
    simdevd_ctl_t c = parse_ok("diag burst 100 4096");
    EXPECT_EQ(c.op, CTL_DIAG_BURST);
    EXPECT_EQ(c.count, 100u);
    EXPECT_EQ(c.size, 4096u);
    EXPECT_EQ(parse_ok("diag burst 1 1044480").size, 1044480u);
    c = parse_ok("  diag\trate 50 12\r");
    EXPECT_EQ(c.op, CTL_DIAG_RATE);
    EXPECT_EQ(c.count, 50u);
    EXPECT_EQ(c.size, 12u);
    c = parse_ok("diag rate 0");
    EXPECT_EQ(c.op, CTL_DIAG_RATE);
    EXPECT_EQ(c.count, 0u);
    c = parse_ok("diag emit 0x10 0");
    EXPECT_EQ(c.op, CTL_DIAG_EMIT);
    EXPECT_EQ(c.type, 0x10u);
    EXPECT_EQ(c.size, 0u);
    EXPECT_EQ(parse_ok("diag emit 4294967295 4").type, 0xFFFFFFFFu);
    EXPECT_EQ(parse_ok("diag refuse7 1").op, CTL_DIAG_REFUSE7);
    EXPECT_EQ(parse_ok("diag refuse9 0").op, CTL_DIAG_REFUSE9);
    c = parse_ok("diag ignore9 1");
    EXPECT_EQ(c.op, CTL_DIAG_IGNORE9);
    EXPECT_EQ(c.value, 1);
    EXPECT_EQ(parse_ok("pmic gpio 1").value, 1);
    EXPECT_EQ(parse_ok("pmic adc -500").value, -500);
    EXPECT_EQ(parse_ok("pmic adc 1705999").value, 1705999);
    c = parse_ok("pmic unreadable rf_id");
    EXPECT_EQ(c.op, CTL_PMIC_ACCESS);
    EXPECT_EQ(c.pmic, PMIC_RF_ID);
    EXPECT_EQ(c.access, ACCESS_UNREADABLE);
    EXPECT_EQ(parse_ok("pmic absent spmi_address").access, ACCESS_ABSENT);
    EXPECT_EQ(parse_ok("pmic present invert").access, ACCESS_PRESENT);
    EXPECT_EQ(parse_ok("").op, CTL_NONE);
    EXPECT_EQ(parse_ok("   ").op, CTL_NONE);
    EXPECT_EQ(parse_ok("# diag burst 1 3").op, CTL_NONE);
}

TEST(SimdevdControl, BadLinesAreRefusedWithAReason)
{
    for (const char *bad : {"diag", "diag burst", "diag burst 1", "diag burst 1 3", "diag burst -1 16",
                            "diag burst 1 1044481", "diag burst 1 16 extra", "diag rate 5", "diag rate 100001 16",
                            "diag rate 10 2", "diag emit 0x20", "diag emit 0x100000000 4", "diag emit 1 1044481",
                            "diag refuse7", "diag refuse7 2", "diag ignore9 yes", "diag fly 1", "pmic gpio 256",
                            "pmic gpio -1", "pmic adc", "pmic adc 1.5", "pmic adc 99999999999999999999",
                            "pmic absent", "pmic absent diag", "pmic absent rf_id extra", "pmic melt rf_id",
                            "modem on", "a b c d e f"}) {
        simdevd_ctl_t c;
        std::string err;
        EXPECT_EQ(simdevd_parse_ctl(bad, &c, &err), -1) << bad;
        EXPECT_FALSE(err.empty()) << bad;
    }
}

TEST(SimdevdStream, QueuedRecordsComeOutInOrderOnlyAsAsked)
{
    simdevd_model_t m;
    uint32_t type, size;
    EXPECT_FALSE(simdevd_peek(&m, 0, &type, &size));
    apply(&m, "diag burst 2 100");
    apply(&m, "diag burst 1 100"); // joins the burst before it
    apply(&m, "diag burst 0 50");  // nothing
    apply(&m, "diag emit 0x33 7");
    apply(&m, "diag emit 0x20 100"); // a data record after the emit stays after it
    EXPECT_EQ(m.jobs.size(), 3u);
    using R = std::pair<uint32_t, uint32_t>;
    EXPECT_EQ(drain(&m), (std::vector<R>{{0x20, 100}, {0x20, 100}, {0x20, 100}, {0x33, 7}, {0x20, 100}}));
    EXPECT_FALSE(simdevd_peek(&m, 0, &type, &size));
}

TEST(SimdevdStream, RateHandsOutAtMostItsPaceAndKeepsOneSecondBack)
{
    simdevd_model_t m;
    const uint64_t t0 = 5000 * MS;
    apply(&m, "diag rate 10 40", t0);
    EXPECT_EQ(simdevd_next_due_ns(&m), t0 + 100 * MS);
    EXPECT_TRUE(drain(&m, t0 + 99 * MS).empty());
    EXPECT_EQ(drain(&m, t0 + 100 * MS).size(), 1u);
    EXPECT_EQ(simdevd_next_due_ns(&m), t0 + 200 * MS);
    EXPECT_EQ(drain(&m, t0 + 1000 * MS).size(), 9u);
    // Nobody read for 10 s: one second's worth waits, the rest is dropped.
    EXPECT_EQ(drain(&m, t0 + 11000 * MS).size(), 10u);
    // Queued records go ahead of the rate.
    apply(&m, "diag emit 0x44 4", t0 + 11000 * MS);
    auto got = drain(&m, t0 + 11100 * MS);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].first, 0x44u);
    EXPECT_EQ(got[1], (std::pair<uint32_t, uint32_t>{0x20, 40}));
    // A new rate starts afresh; rate 0 stops and owes nothing.
    apply(&m, "diag rate 3 8", t0 + 11150 * MS);
    EXPECT_EQ(simdevd_next_due_ns(&m), t0 + 11150 * MS + 333333334);
    EXPECT_EQ(drain(&m, t0 + 12150 * MS).size(), 3u);
    apply(&m, "diag rate 0", t0 + 12200 * MS);
    EXPECT_EQ(simdevd_next_due_ns(&m), 0u);
    EXPECT_TRUE(drain(&m, t0 + 99000 * MS).empty());
}

TEST(SimdevdStream, FastRateOverALongRunDoesNotOverflow)
{
    simdevd_model_t m;
    apply(&m, "diag rate 100000 4", 0);
    const uint64_t day = 86400ull * 1000 * MS;
    simdevd_tick(&m, 30 * day);
    EXPECT_EQ(m.rate_ticks, 30 * 86400ull * 100000);
    EXPECT_EQ(m.owed, 100000u);
    EXPECT_EQ(simdevd_next_due_ns(&m), 30 * day + 10000);
}

TEST(SimdevdRecords, LayoutAndCutRecordsArePrefixes)
{
    std::vector<uint8_t> whole(300);
    simdevd_fill_record(whole.data(), whole.size(), 0x20, 0x01020304);
    const uint8_t head[] = {0x20, 0, 0, 0, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(memcmp(whole.data(), head, 8), 0);
    for (size_t i = 8; i < whole.size(); i++)
        ASSERT_EQ(whole[i], static_cast<uint8_t>(0x04 + i)) << i;
    for (size_t n : {0, 1, 3, 4, 7, 8, 9, 299}) {
        std::vector<uint8_t> part(300, 0xEE);
        simdevd_fill_record(part.data(), n, 0x20, 0x01020304);
        EXPECT_EQ(memcmp(part.data(), whole.data(), n), 0) << n;
        EXPECT_EQ(part[n], 0xEE) << "wrote past " << n;
    }
    EXPECT_EQ(simdevd_hex("\x20\x00\x7e\xff\x0a", 5), "20007eff0a");
    EXPECT_EQ(simdevd_hex("", 0), "");
}

TEST(SimdevdPmic, GpioRegisterParsesAsTheToolReadsIt)
{
    for (uint8_t level : {0, 1}) {
        std::string dump = simdevd_spmi_dump(0xCB08, 1, level);
        EXPECT_EQ(dump, level ? "cb00 -- -- -- -- -- -- -- -- 01\n" : "cb00 -- -- -- -- -- -- -- -- 00\n");
        unsigned addr = 0, value = 0xFF;
        ASSERT_EQ(sscanf(dump.c_str(), "%x -- -- -- -- -- -- -- -- %x", &addr, &value), 2);
        EXPECT_EQ(value & 1, level);
    }
    EXPECT_EQ(simdevd_spmi_dump(0xCB08, 2, 0x81), "cb00 -- -- -- -- -- -- -- -- 81 00\n");
    // Other registers read 0 and their dumps have another layout.
    EXPECT_EQ(simdevd_spmi_dump(0xCB00, 1, 1), "cb00 00\n");
    EXPECT_EQ(simdevd_spmi_dump(0xCB0E, 4, 1), "cb00 -- -- -- -- -- -- -- -- -- -- -- -- -- -- 00 00\ncb10 00 00\n");
    EXPECT_EQ(simdevd_spmi_dump(0xCB08, 0, 1), "");
    // A huge count is cut to one dump of 256 registers.
    std::string big = simdevd_spmi_dump(0, 100000, 0);
    EXPECT_EQ(std::count(big.begin(), big.end(), '\n'), 16);
}

TEST(SimdevdPmic, RfIdCarriesTheChosenResult)
{
    for (int64_t n : {0LL, 1705999LL, -500LL, 2147483647LL}) {
        int result = 1, raw = 1;
        ASSERT_EQ(sscanf(simdevd_rf_id(n).c_str(), "Result:%d Raw:%d", &result, &raw), 2) << n;
        EXPECT_EQ(result, n);
    }
    EXPECT_EQ(simdevd_rf_id(-5000000000LL).rfind("Result:-5000000000 Raw:", 0), 0u);
    EXPECT_EQ(simdevd_pmic_index("rf_id"), PMIC_RF_ID);
    EXPECT_EQ(simdevd_pmic_index("diag"), -1);
}

} // namespace
