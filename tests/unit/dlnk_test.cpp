// Doubly linked ring: linking, removal, walks and the pointer checks.
#include <gtest/gtest.h>

#include <vector>

#include "assert_death.h"
#include "dlnk.h"

namespace {

struct item_t {
    dlnk_t lnk;
    int value;
};

int val(dlnk_t *p) { return reinterpret_cast<item_t *>(p)->value; }

// Values forward, after checking that every link agrees with its partner.
std::vector<int> ring(dlnk_t *head)
{
    std::vector<int> out;
    dlnk_t *p = head;
    do {
        EXPECT_EQ(dlnk_prev(dlnk_next(p)), p);
        EXPECT_EQ(dlnk_next(dlnk_prev(p)), p);
        p = dlnk_next(p);
        if (p != head) out.push_back(val(p));
    } while (p != head && out.size() < 100);
    return out;
}

struct DlnkTest : testing::Test {
    dlnk_t head;
    item_t items[5];
    void SetUp() override
    {
        dlnk_init(&head);
        for (int i = 0; i < 5; ++i) {
            items[i].value = i;
            dlnk_init(&items[i].lnk);
        }
    }
    dlnk_t *n(int i) { return &items[i].lnk; }
};

TEST_F(DlnkTest, AddAndInsert)
{
    EXPECT_EQ(dlnk_next(&head), &head);
    EXPECT_EQ(dlnk_prev(&head), &head);
    EXPECT_EQ(dlnk_insert(&head, n(0)), &head);  // tail of an empty ring
    EXPECT_EQ(dlnk_insert(&head, n(1)), &head);  // tail
    EXPECT_EQ(dlnk_add(&head, n(2)), n(0));      // front; returns the node after it
    EXPECT_EQ(dlnk_insert(n(1), n(3)), n(1));    // before an element
    EXPECT_EQ(dlnk_add(n(1), n(4)), &head);      // after the last
    EXPECT_EQ(ring(&head), (std::vector<int>{2, 0, 3, 1, 4}));
}

TEST_F(DlnkTest, Removal)
{
    for (int i = 0; i < 3; ++i) dlnk_insert(&head, n(i));
    EXPECT_EQ(dlnk_remove(n(1)), n(2));
    EXPECT_EQ(n(1)->p_next, n(1));
    EXPECT_EQ(n(1)->p_prev, n(1));
    EXPECT_EQ(dlnk_remove(n(1)), n(1));  // again: nothing changes
    EXPECT_EQ(ring(&head), (std::vector<int>{0, 2}));
    EXPECT_EQ(dlnk_remove(n(2)), &head);  // last: the head follows
    EXPECT_EQ(dlnk_remove(n(0)), &head);
    EXPECT_EQ(ring(&head), std::vector<int>{});
    EXPECT_EQ(dlnk_remove(&head), &head);  // head of an empty ring
    EXPECT_EQ(head.p_next, &head);
    EXPECT_EQ(head.p_prev, &head);
}

struct walk_t {
    std::vector<int> seen;
    int stop_at = -1;
    bool remove = false;
};

int record(dlnk_t *node, void *arg)
{
    auto *w = static_cast<walk_t *>(arg);
    w->seen.push_back(val(node));
    if (w->remove) dlnk_remove(node);
    return val(node) == w->stop_at;
}

TEST_F(DlnkTest, ForEach)
{
    walk_t w;
    EXPECT_EQ(dlnk_for_each(&head, record, &w), nullptr);  // empty: no calls
    EXPECT_TRUE(w.seen.empty());

    for (int i = 0; i < 3; ++i) dlnk_insert(&head, n(i));
    w.stop_at = 2;
    EXPECT_EQ(dlnk_for_each(&head, record, &w), n(2));  // stopped at the third
    EXPECT_EQ(w.seen, (std::vector<int>{0, 1, 2}));

    w = {};
    EXPECT_EQ(dlnk_for_each(&head, record, &w), nullptr);  // ran through
    EXPECT_EQ(w.seen, (std::vector<int>{0, 1, 2}));

    w = {};
    w.stop_at = 0;
    EXPECT_EQ(dlnk_for_each(&head, record, &w), n(0));
    EXPECT_EQ(w.seen, (std::vector<int>{0}));

    // A callback may remove the node it is given.
    w = {};
    w.remove = true;
    EXPECT_EQ(dlnk_for_each(&head, record, &w), nullptr);
    EXPECT_EQ(w.seen, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(ring(&head), std::vector<int>{});
}

int never(dlnk_t *, void *) { return 0; }

TEST(DlnkDeathTest, NullArgumentsEndTheProcess)
{
    dlnk_t node;
    dlnk_init(&node);
    const char *src = "dlnk/src/dlnk.cpp";
    using assert_death::expect;
    expect([] { dlnk_init(nullptr); }, "p_lnk", src, "void dlnk_init(", "VEXD_CHECK(p_lnk)");
    expect([&] { dlnk_add(nullptr, &node); }, "p_pos", src, "dlnk_t *dlnk_add(", "VEXD_CHECK(p_pos)");
    expect([&] { dlnk_add(&node, nullptr); }, "p_obj", src, "dlnk_t *dlnk_add(", "VEXD_CHECK(p_obj)");
    expect([&] { dlnk_insert(nullptr, &node); }, "p_pos", src, "dlnk_t *dlnk_insert(", "VEXD_CHECK(p_pos)");
    expect([&] { dlnk_insert(&node, nullptr); }, "p_obj", src, "dlnk_t *dlnk_add(", "VEXD_CHECK(p_obj)");
    expect([] { dlnk_remove(nullptr); }, "p_obj", src, "dlnk_t *dlnk_remove(", "VEXD_CHECK(p_obj)");
    expect(
        [] {
        dlnk_t broken = {nullptr, nullptr};
        dlnk_remove(&broken);
        },
        "p_obj->p_next", src, "dlnk_t *dlnk_remove(", "VEXD_CHECK(p_obj->p_next)");
    expect(
        [] {
        dlnk_t broken;
        broken.p_prev = nullptr;
        broken.p_next = &broken;
        dlnk_remove(&broken);
        },
        "p_obj->p_prev", src, "dlnk_t *dlnk_remove(", "VEXD_CHECK(p_obj->p_prev)");
    expect([] { dlnk_next(nullptr); }, "p_pos", src, "dlnk_t *dlnk_next(", "VEXD_CHECK(p_pos)");
    expect([] { dlnk_prev(nullptr); }, "p_pos", src, "dlnk_t *dlnk_prev(", "VEXD_CHECK(p_pos)");
    expect([&] { dlnk_for_each(&node, nullptr, nullptr); }, "p_head && fn", src, "dlnk_t *dlnk_for_each(",
           "VEXD_CHECK(p_head && fn)");
    expect([] { dlnk_for_each(nullptr, never, nullptr); }, "p_head && fn", src, "dlnk_t *dlnk_for_each(",
           "VEXD_CHECK(p_head && fn)");
}

}  // namespace
