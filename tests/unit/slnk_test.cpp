// Singly linked list: order of links, walks, removal and the relative form.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "assert_death.h"
#include "slnk.h"
#include "vexd_check.h"

// Last on purpose: the C library's assert macro must not change VEXD_CHECK.
#include <cassert>

namespace {

struct item_t {
    slnk_t lnk;
    int value;
};

std::vector<int> values(slnk_t *head)
{
    std::vector<int> out;
    for (slnk_t *p = slnk_next(head); p != nullptr; p = slnk_next(p))
        out.push_back(reinterpret_cast<item_t *>(p)->value);
    return out;
}

struct SlnkTest : testing::Test {
    slnk_t head;
    item_t items[5];
    void SetUp() override
    {
        slnk_init(&head);
        for (int i = 0; i < 5; ++i) items[i] = {{nullptr}, i};
    }
    slnk_t *n(int i) { return &items[i].lnk; }
};

TEST_F(SlnkTest, AddInsertAndOrder)
{
    EXPECT_EQ(slnk_next(&head), nullptr);
    items[0].lnk.p_next = n(4);  // stale link: add must clear it
    EXPECT_EQ(slnk_add(&head, n(0)), n(0));
    EXPECT_EQ(slnk_next(&head), n(0));
    EXPECT_EQ(n(0)->p_next, nullptr);
    slnk_add(&head, n(1));
    slnk_add(&head, n(2));
    slnk_insert(&head, n(3));  // to the front
    slnk_insert(n(1), n(4));   // after an element
    EXPECT_EQ(values(&head), (std::vector<int>{3, 0, 1, 4, 2}));
    EXPECT_EQ(n(2)->p_next, nullptr);
}

TEST_F(SlnkTest, Removal)
{
    for (int i = 0; i < 4; ++i) slnk_add(&head, n(i));
    EXPECT_EQ(slnk_remove(&head, n(2)), n(2));  // middle
    EXPECT_EQ(n(2)->p_next, n(3));              // its own link is kept
    EXPECT_EQ(slnk_remove(&head, n(0)), n(0));  // first
    EXPECT_EQ(values(&head), (std::vector<int>{1, 3}));
    EXPECT_EQ(slnk_remove(&head, n(4)), n(4));  // not in the list
    EXPECT_EQ(slnk_remove(&head, n(2)), n(2));  // already removed
    EXPECT_EQ(values(&head), (std::vector<int>{1, 3}));

    EXPECT_EQ(slnk_remove_next(n(3)), nullptr);  // last node
    EXPECT_EQ(slnk_remove_next(&head), n(1));    // first, through the head
    EXPECT_EQ(values(&head), (std::vector<int>{3}));
    EXPECT_EQ(slnk_remove(&head, n(3)), n(3));  // last one
    EXPECT_EQ(slnk_next(&head), nullptr);
}

struct walk_t {
    std::vector<int> seen;
    int stop_at = -1;
    slnk_t *head = nullptr;
};

int record(slnk_t *node, void *arg)
{
    auto *w = static_cast<walk_t *>(arg);
    int v = reinterpret_cast<item_t *>(node)->value;
    w->seen.push_back(v);
    if (w->head != nullptr) slnk_remove(w->head, node);
    return v == w->stop_at;
}

TEST_F(SlnkTest, ForEach)
{
    walk_t w;
    EXPECT_EQ(slnk_for_each(&head, record, &w), 1);  // empty list
    EXPECT_TRUE(w.seen.empty());

    for (int i = 0; i < 4; ++i) slnk_add(&head, n(i));
    w.stop_at = 0;
    EXPECT_EQ(slnk_for_each(&head, record, &w), 0);  // stopped by the first call
    EXPECT_EQ(w.seen, (std::vector<int>{0}));

    w = {};
    w.stop_at = 2;
    EXPECT_EQ(slnk_for_each(&head, record, &w), 0);
    EXPECT_EQ(w.seen, (std::vector<int>{0, 1, 2}));

    w = {};
    EXPECT_EQ(slnk_for_each(n(1), record, &w), 1);  // from an element to the end
    EXPECT_EQ(w.seen, (std::vector<int>{2, 3}));

    w = {};
    w.head = &head;  // the callback unlinks every node it gets
    EXPECT_EQ(slnk_for_each(&head, record, &w), 1);
    EXPECT_EQ(w.seen, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(slnk_next(&head), nullptr);
}

// Nodes 16 bytes apart in one block.
struct alignas(16) cell_t {
    slnk_t lnk;
    int value;
};
static_assert(sizeof(cell_t) == 16);

TEST(SlnkSerialize, RoundTripAndRelocation)
{
    cell_t block[6] = {};
    for (int i = 0; i < 6; ++i) block[i].value = 10 + i;
    slnk_t head;
    slnk_init(&head);
    // 0 -> 1 (16 bytes on) -> 4 (48 on) -> 2 (32 back) -> 5 (48 on), end.
    for (int i : {0, 1, 4, 2, 5}) slnk_add(&head, &block[i].lnk);

    slnk_serialize(SLNK_TO_OFFSETS, &head);
    EXPECT_EQ(head.p_next, &block[0].lnk);  // the head stays a pointer
    EXPECT_EQ(slnk_offset(&block[0].lnk), 4);
    EXPECT_EQ(slnk_offset(&block[1].lnk), 12);
    EXPECT_EQ(slnk_offset(&block[4].lnk), -8);
    EXPECT_EQ(slnk_offset(&block[2].lnk), 12);
    EXPECT_EQ(slnk_offset(&block[5].lnk), 0);

    // Mode 2 leaves the relative form alone.
    cell_t copy[6];
    memcpy(copy, block, sizeof(block));
    slnk_serialize(2, &head);
    EXPECT_EQ(memcmp(copy, block, sizeof(block)), 0);

    // The relative form works at another address.
    slnk_t moved_head = {&copy[0].lnk};
    slnk_serialize(SLNK_TO_POINTERS, &moved_head);
    std::vector<int> seen;
    for (slnk_t *p = slnk_next(&moved_head); p != nullptr; p = slnk_next(p)) {
        EXPECT_GE(reinterpret_cast<cell_t *>(p), &copy[0]);
        EXPECT_LE(reinterpret_cast<cell_t *>(p), &copy[5]);
        seen.push_back(reinterpret_cast<cell_t *>(p)->value);
    }
    EXPECT_EQ(seen, (std::vector<int>{10, 11, 14, 12, 15}));

    // And back in place every pointer is restored; mode 2 changes nothing.
    slnk_serialize(SLNK_TO_POINTERS, &head);
    EXPECT_EQ(block[0].lnk.p_next, &block[1].lnk);
    EXPECT_EQ(block[1].lnk.p_next, &block[4].lnk);
    EXPECT_EQ(block[4].lnk.p_next, &block[2].lnk);
    EXPECT_EQ(block[2].lnk.p_next, &block[5].lnk);
    EXPECT_EQ(block[5].lnk.p_next, nullptr);
    slnk_serialize(2, &head);
    EXPECT_EQ(block[4].lnk.p_next, &block[2].lnk);

    slnk_t empty;
    slnk_init(&empty);
    slnk_serialize(SLNK_TO_OFFSETS, &empty);
    EXPECT_EQ(empty.p_next, nullptr);
}

int never(slnk_t *, void *) { return 0; }

TEST(SlnkDeathTest, NullArgumentsEndTheProcess)
{
    slnk_t node = {nullptr};
    const char *src = "slnk/src/slnk.cpp";
    using assert_death::expect;
    expect([] { slnk_init(nullptr); }, "p_head", src, "void slnk_init(", "VEXD_CHECK(p_head)");
    expect([&] { slnk_insert(&node, nullptr); }, "p_prv && p_obj", src, "void slnk_insert(",
           "VEXD_CHECK(p_prv && p_obj)");
    expect([&] { slnk_add(nullptr, &node); }, "p_head && p_obj", src, "slnk_t *slnk_add(",
           "VEXD_CHECK(p_head && p_obj)");
    expect([&] { slnk_remove(nullptr, &node); }, "p_head", src, "slnk_t *slnk_remove(", "VEXD_CHECK(p_head)");
    expect([&] { slnk_remove(&node, nullptr); }, "p_obj", src, "slnk_t *slnk_remove(", "VEXD_CHECK(p_obj)");
    expect([] { slnk_remove_next(nullptr); }, "p_obj", src, "slnk_t *slnk_remove_next(", "VEXD_CHECK(p_obj)");
    expect([] { slnk_next(nullptr); }, "p_prv", src, "slnk_t *slnk_next(", "VEXD_CHECK(p_prv)");
    expect([&] { slnk_for_each(&node, nullptr, nullptr); }, "p_prv && fn", src, "int slnk_for_each(",
           "VEXD_CHECK(p_prv && fn)");
    expect([] { slnk_for_each(nullptr, never, nullptr); }, "p_prv && fn", src, "int slnk_for_each(",
           "VEXD_CHECK(p_prv && fn)");
    // The serializer checks its head through slnk_next.
    expect([] { slnk_serialize(SLNK_TO_OFFSETS, nullptr); }, "p_prv", src, "slnk_t *slnk_next(",
           "VEXD_CHECK(p_prv)");
}

// A check written after <cassert> still logs its line and ends the process,
// with or without NDEBUG.
TEST(SlnkDeathTest, ChecksHoldAfterALaterCassert)
{
    static slnk_t *p_missing = nullptr;
    assert_death::expect([] { VEXD_CHECK(p_missing); }, "p_missing", "tests/unit/slnk_test.cpp",
                         "TEST(SlnkDeathTest, ChecksHoldAfterALaterCassert)", "VEXD_CHECK(p_missing)");
}

}  // namespace
