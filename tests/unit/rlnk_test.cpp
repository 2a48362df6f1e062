// Ranked list: ranks as distances, insertion by position, removal keeping positions.
#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "assert_death.h"
#include "rlnk.h"

namespace {

// (node, position) along the list, positions summed from the ranks.
std::vector<std::pair<rlnk_t *, uint64_t>> positions(rlnk_t *head)
{
    std::vector<std::pair<rlnk_t *, uint64_t>> out;
    uint64_t pos = 0;
    for (rlnk_t *p = rlnk_first(head); p != head && out.size() < 1000; p = rlnk_next(p)) {
        pos += p->rank;
        out.emplace_back(p, pos);
    }
    return out;
}

struct RlnkTest : testing::Test {
    rlnk_t head;
    rlnk_t a, b, c;
    void SetUp() override { rlnk_init(&head, 0); }
};

TEST_F(RlnkTest, TimerExampleArithmetic)
{
    // A due in 1 000 000 on an empty list.
    rlnk_init(&a, 1000000);
    EXPECT_EQ(rlnk_insert(&head, &a), 1000000u);
    EXPECT_EQ(rlnk_first(&head), &a);
    // 300 000 later: A has 700 000 left; B due in 400 000 goes first.
    EXPECT_EQ(rlnk_derank(&head, 700000), &a);
    rlnk_init(&b, 400000);
    EXPECT_EQ(rlnk_insert(&head, &b), 400000u);
    EXPECT_EQ(rlnk_first(&head), &b);
    EXPECT_EQ(a.rank, 300000u);
    // C due in 700 000 shares A's position: it goes after A with rank 0.
    rlnk_init(&c, 700000);
    EXPECT_EQ(rlnk_insert(&head, &c), 0u);
    EXPECT_EQ(positions(&head),
              (std::vector<std::pair<rlnk_t *, uint64_t>>{{&b, 400000}, {&a, 700000}, {&c, 700000}}));
    EXPECT_EQ(head.rank, 0u);

    // Removing the first entry with 250 000 left hands its time to the next.
    rlnk_derank(&head, 250000);
    EXPECT_EQ(rlnk_remove(&head, &b), &a);
    EXPECT_EQ(a.rank, 550000u);
    // Removing a middle entry: the one after it takes its rank.
    EXPECT_EQ(rlnk_remove(&head, &a), &c);
    EXPECT_EQ(c.rank, 550000u);
    // Removing the last entry returns the head and leaves the head's rank alone.
    EXPECT_EQ(rlnk_remove(&head, &c), &head);
    EXPECT_EQ(head.rank, 0u);
    EXPECT_EQ(rlnk_first(&head), &head);
    // Removing an unlinked node changes nothing, its rank included.
    EXPECT_EQ(rlnk_remove(&head, &c), &c);
    EXPECT_EQ(c.rank, 550000u);
    // Empty list: derank does nothing and returns the head.
    EXPECT_EQ(rlnk_derank(&head, 5), &head);
    EXPECT_EQ(head.rank, 0u);
}

TEST_F(RlnkTest, InsertBeforeAndBetween)
{
    rlnk_init(&a, 100);
    rlnk_insert(&head, &a);
    rlnk_init(&b, 300);
    EXPECT_EQ(rlnk_insert(&head, &b), 200u);  // after A
    rlnk_init(&c, 250);
    EXPECT_EQ(rlnk_insert(&head, &c), 150u);  // between A and B
    EXPECT_EQ(b.rank, 50u);
    rlnk_t d;
    rlnk_init(&d, 0);
    EXPECT_EQ(rlnk_insert(&head, &d), 0u);  // due now: first
    EXPECT_EQ(rlnk_first(&head), &d);
    EXPECT_EQ(a.rank, 100u);
    EXPECT_EQ(positions(&head),
              (std::vector<std::pair<rlnk_t *, uint64_t>>{{&d, 0}, {&a, 100}, {&c, 250}, {&b, 300}}));
}

// Random inserts and removals against a model of (node, position) in list
// order: a new node goes after every node at or before its position, and no
// operation moves the position of another node.
TEST_F(RlnkTest, PositionsAgreeWithModel)
{
    std::mt19937 rng(12345);
    std::vector<rlnk_t> nodes(40);
    std::vector<std::pair<rlnk_t *, uint64_t>> model;
    auto in_model = [&](rlnk_t *n) {
        for (auto &m : model)
            if (m.first == n) return true;
        return false;
    };
    for (int step = 0; step < 2000; ++step) {
        rlnk_t *n = &nodes[rng() % nodes.size()];
        if (in_model(n)) {
            rlnk_remove(&head, n);
            std::erase_if(model, [&](auto &m) { return m.first == n; });
        } else {
            uint32_t pos = rng() % 8 * 1000;  // few distinct values: many ties
            rlnk_init(n, pos);
            rlnk_insert(&head, n);
            auto at = model.begin();
            while (at != model.end() && at->second <= pos) ++at;
            model.insert(at, {n, pos});
        }
        ASSERT_EQ(positions(&head), model) << "step " << step;
        // Let time pass: the first node comes closer, and so do all others.
        if (!model.empty() && step % 7 == 0) {
            uint32_t first = rlnk_first(&head)->rank;
            uint32_t passed = first / 2;
            rlnk_derank(&head, first - passed);
            for (auto &m : model) m.second -= passed;
            ASSERT_EQ(positions(&head), model) << "step " << step;
        }
    }
}

TEST(RlnkDeathTest, NullArgumentsEndTheProcess)
{
    const char *src = "rlnk/src/rlnk.cpp";
    using assert_death::expect;
    expect([] { rlnk_init(nullptr, 1); }, "p_lnk", src, "void rlnk_init(", "VEXD_CHECK(p_lnk)");
    expect(
        [] {
        rlnk_t head;
        rlnk_init(&head, 0);
        rlnk_remove(&head, nullptr);
        },
        "p_lnk", src, "rlnk_t *rlnk_remove(", "VEXD_CHECK(p_lnk)");
    expect(
        [] {
        rlnk_t head = {{nullptr, nullptr}, 0};  // never initialised
        rlnk_derank(&head, 1);
        },
        "p_next", src, "rlnk_t *rlnk_derank(", "VEXD_CHECK(p_next)");
}

}  // namespace
