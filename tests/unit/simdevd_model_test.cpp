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
    EXPECT_TRUE(simdevd_parse_int("010", 0, 100, &v));  // decimal, not octal
    EXPECT_EQ(v, 10);
    EXPECT_TRUE(simdevd_parse_int("-500", INT64_MIN, INT64_MAX, &v));
    EXPECT_EQ(v, -500);
    EXPECT_TRUE(simdevd_parse_int("-9223372036854775808", INT64_MIN, INT64_MAX, &v));
    EXPECT_EQ(v, INT64_MIN);

    v = 77;
    for (const char *bad : {"", "-", "0x", "12x", "x12", "+5", "--5", " 5", "1 ", "0x-1"})
        EXPECT_FALSE(simdevd_parse_int(bad, INT64_MIN, INT64_MAX, &v)) << bad;
    EXPECT_FALSE(simdevd_parse_int("-1", 0, 100, &v));   // no sign unless allowed
    EXPECT_FALSE(simdevd_parse_int("3", 4, 100, &v));    // below min
    EXPECT_FALSE(simdevd_parse_int("101", 0, 100, &v));  // above max
    EXPECT_FALSE(simdevd_parse_int("-11", -10, 10, &v));
    EXPECT_FALSE(simdevd_parse_int("9223372036854775808", 0, INT64_MAX, &v));
    EXPECT_FALSE(simdevd_parse_int("-9223372036854775809", INT64_MIN, INT64_MAX, &v));
    EXPECT_FALSE(simdevd_parse_int("99999999999999999999999", 0, INT64_MAX, &v));
    EXPECT_EQ(v, 77);  // untouched by failures
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
    for (const char *bad : {"diag",
                            "diag burst",
                            "diag burst 1",
                            "diag burst 1 3",
                            "diag burst -1 16",
                            "diag burst 1 1044481",
                            "diag burst 1 16 extra",
                            "diag rate 5",
                            "diag rate 100001 16",
                            "diag rate 10 2",
                            "diag emit 0x20",
                            "diag emit 0x100000000 4",
                            "diag emit 1 1044481",
                            "diag refuse7",
                            "diag refuse7 2",
                            "diag ignore9 yes",
                            "diag fly 1",
                            "pmic gpio 256",
                            "pmic gpio -1",
                            "pmic adc",
                            "pmic adc 1.5",
                            "pmic adc 99999999999999999999",
                            "pmic absent",
                            "pmic absent diag",
                            "pmic absent rf_id extra",
                            "pmic melt rf_id",
                            "modem on",
                            "a b c d e f",
                            "ring",
                            "ring kmsg",
                            "ring radio size 4096",
                            "ring kmsg size 4095",
                            "ring main size 67108865",
                            "ring kmsg reset now"}) {
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
    apply(&m, "diag burst 1 100");  // joins the burst before it
    apply(&m, "diag burst 0 50");   // nothing
    apply(&m, "diag emit 0x33 7");
    apply(&m, "diag emit 0x20 100");  // a data record after the emit stays after it
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
    for (size_t i = 8; i < whole.size(); i++) ASSERT_EQ(whole[i], static_cast<uint8_t>(0x04 + i)) << i;
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
    EXPECT_EQ(simdevd_spmi_dump(0xCB0E, 4, 1),
              "cb00 -- -- -- -- -- -- -- -- -- -- -- -- -- -- 00 00\ncb10 00 00\n");
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

// A logger entry of the first layout whose payload is `payload_len` bytes,
// each byte of it `fill`.
std::vector<uint8_t> entry(uint16_t payload_len, uint8_t fill)
{
    std::vector<uint8_t> e(RING_ENTRY_HEADER + payload_len, fill);
    e[0] = static_cast<uint8_t>(payload_len);
    e[1] = static_cast<uint8_t>(payload_len >> 8);
    return e;
}

std::string take(ring_t *r, size_t max, uint64_t now = 0)
{
    std::string out(max, '\0');
    int64_t n = ring_read(r, reinterpret_cast<uint8_t *>(out.data()), max, now);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

bool feed(ring_t *r, std::string_view s)
{
    return ring_feed(r, reinterpret_cast<const uint8_t *>(s.data()), s.size());
}

TEST(SimdevdRing, BytesOverwriteTheOldestAndCountWhatWasLost)
{
    simdevd_model_t m;
    simdevd_rings_init(&m);
    EXPECT_EQ(m.rings[RING_KMSG].size, RING_KMSG_DEFAULT);
    EXPECT_EQ(m.rings[RING_MAIN].size, RING_MAIN_DEFAULT);
    apply(&m, "ring kmsg size 4096");
    ring_t *r = &m.rings[RING_KMSG];
    EXPECT_FALSE(ring_ready(r));
    EXPECT_EQ(take(r, 4096), "");

    // Reads take at most what they ask for, oldest first, across the wrap.
    std::string a(3000, 'a'), b(2000, 'b');
    EXPECT_TRUE(feed(r, a));
    EXPECT_EQ(take(r, 1000), std::string(1000, 'a'));
    EXPECT_TRUE(feed(r, b));  // 4000 held, the tail wraps
    EXPECT_EQ(r->dropped, 0u);
    // Nobody reads: feeding goes on and pushes out the oldest bytes.
    EXPECT_TRUE(feed(r, std::string(1000, 'c')));
    EXPECT_EQ(r->dropped, 904u);
    EXPECT_EQ(r->used, 4096u);
    EXPECT_EQ(take(r, 8192), std::string(1096, 'a') + b + std::string(1000, 'c'));
    EXPECT_EQ(r->fed, 6000u);
    EXPECT_EQ(r->taken, 5096u);
    EXPECT_EQ(r->fed, r->taken + r->dropped + r->used);
    EXPECT_EQ(r->peak, 4096u);

    // One write larger than the ring keeps its newest bytes only.
    EXPECT_TRUE(feed(r, "xy"));
    std::string big = std::string(5000, 'd') + std::string(4096, 'e');
    EXPECT_TRUE(feed(r, big));
    EXPECT_EQ(r->dropped, 904u + 2 + 5000);
    EXPECT_EQ(take(r, 4096), std::string(4096, 'e'));

    // A reset starts the counters and keeps the content.
    EXPECT_TRUE(feed(r, "tail"));
    apply(&m, "ring kmsg reset");
    EXPECT_EQ(r->fed + r->dropped + r->taken, 0u);
    EXPECT_EQ(take(r, 10), "tail");
}

TEST(SimdevdRing, EntriesComeOneAPerReadAndWholeOnesAreDropped)
{
    simdevd_model_t m;
    simdevd_rings_init(&m);
    apply(&m, "ring main size 4096");
    ring_t *r = &m.rings[RING_MAIN];
    // Three entries in one write, then read one at a time.
    std::vector<uint8_t> w;
    for (uint8_t i = 1; i <= 3; i++) {
        std::vector<uint8_t> e = entry(100 * i, i);
        w.insert(w.end(), e.begin(), e.end());
    }
    EXPECT_TRUE(ring_feed(r, w.data(), w.size()));
    EXPECT_EQ(take(r, 4096).size(), 120u);
    // An entry that does not fit the read stays for a larger one.
    uint8_t small[100];
    EXPECT_EQ(ring_read(r, small, sizeof small, 0), -1);
    std::string second = take(r, 4096);
    ASSERT_EQ(second.size(), 220u);
    EXPECT_EQ(second.back(), 2);

    // Filling up pushes out the oldest whole entries, never a part of one.
    std::vector<uint8_t> e = entry(1980, 9);        // 2000 bytes
    EXPECT_TRUE(ring_feed(r, e.data(), e.size()));  // 320 + 2000
    EXPECT_TRUE(ring_feed(r, e.data(), e.size()));  // 320 + 4000 > 4096: the 320 go
    EXPECT_EQ(r->dropped_entries, 1u);
    EXPECT_EQ(r->dropped, 320u);
    EXPECT_EQ(take(r, 4096).size(), 2000u);
    EXPECT_EQ(take(r, 4096).size(), 2000u);
    EXPECT_EQ(take(r, 4096), "");
    EXPECT_EQ(r->fed_entries, 5u);
    EXPECT_EQ(r->taken_entries, 4u);

    // A write that is no run of whole entries is refused, nothing taken.
    std::vector<uint8_t> cut = entry(50, 1);
    cut.pop_back();
    EXPECT_FALSE(ring_feed(r, cut.data(), cut.size()));
    std::vector<uint8_t> huge = entry(4077, 1);  // above the driver's largest entry
    EXPECT_FALSE(ring_feed(r, huge.data(), huge.size()));
    std::vector<uint8_t> two = entry(10, 1);
    two.insert(two.end(), cut.begin(), cut.end());
    EXPECT_FALSE(ring_feed(r, two.data(), two.size()));
    EXPECT_FALSE(ring_ready(r));
    EXPECT_EQ(r->fed_entries, 5u);

    // The largest entry is kept whole by the default ring.
    apply(&m, "ring main size 262144");
    std::vector<uint8_t> max = entry(4076, 7);
    EXPECT_TRUE(ring_feed(r, max.data(), max.size()));
    EXPECT_EQ(take(r, 4096).size(), 4096u);
}

TEST(SimdevdRing, ReaderStallsAreTheGapsBetweenAnAnswerAndTheNextRead)
{
    ring_t r;
    ring_init(&r, false, 4096);
    ring_note_read(&r, 5 * MS);  // no answer before: no gap
    feed(&r, std::string(4096, 'x'));
    take(&r, 100, 10 * MS);
    ring_note_read(&r, 10 * MS + 500000);  // 0.5 ms: counted, not kept
    take(&r, 100, 11 * MS);
    ring_note_read(&r, 36 * MS);  // 25 ms away
    take(&r, 100, 36 * MS);
    ring_note_read(&r, 38 * MS);
    EXPECT_EQ(r.gap_max_ns, 25 * MS);
    EXPECT_EQ(r.stalls_us, (std::vector<uint32_t>{25000, 2000}));
    EXPECT_EQ(r.reads, 3u);
    std::string line = ring_stats(&r, "kmsg");
    EXPECT_NE(line.find("kmsg size=4096 used=3796 "), std::string::npos) << line;
    EXPECT_NE(line.find(" gap_max_us=25000 stalls_us=25000,2000\n"), std::string::npos) << line;
}

}  // namespace
