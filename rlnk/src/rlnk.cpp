// Ranked list on top of dlnk.
#include "rlnk.h"

#include "vexd_check.h"

namespace {

struct rlnk_walk_t {
    uint32_t target;  // position of the node being inserted
    uint32_t sum;     // position of the last node passed
};

// Insertion walk: passes every node whose position is at or before the target.
int rlnk_fn(dlnk_t *node, void *arg)
{
    auto *walk = static_cast<rlnk_walk_t *>(arg);
    uint32_t rank = rlnk_of(node)->rank;
    walk->sum += rank;
    if (walk->sum <= walk->target) return 0;
    walk->sum -= rank;
    return 1;
}

// Shrinks the rank of the node after p_lnk by value, unless p_lnk is unlinked.
rlnk_t *rlnk_adjust(rlnk_t *p_lnk, uint32_t value)
{
    dlnk_t *p_next = p_lnk->lnk.p_next;
    VEXD_CHECK(p_next);
    if (p_next != &p_lnk->lnk) rlnk_of(p_next)->rank -= value;
    return rlnk_of(p_next);
}

}  // namespace

void rlnk_init(rlnk_t *p_lnk, uint32_t time)
{
    VEXD_CHECK(p_lnk);
    dlnk_init(&p_lnk->lnk);
    p_lnk->rank = time;
}

uint32_t rlnk_insert(rlnk_t *p_head, rlnk_t *p_lnk)
{
    VEXD_CHECK(p_lnk);
    rlnk_walk_t walk = {p_lnk->rank, 0};
    dlnk_t *p_pos = dlnk_for_each(&p_head->lnk, rlnk_fn, &walk);
    if (p_pos == nullptr) p_pos = &p_head->lnk;
    p_lnk->rank = walk.target - walk.sum;
    dlnk_insert(p_pos, &p_lnk->lnk);
    if (p_pos != &p_head->lnk) rlnk_adjust(p_lnk, p_lnk->rank);
    return p_lnk->rank;
}

rlnk_t *rlnk_remove(rlnk_t *p_head, rlnk_t *p_lnk)
{
    VEXD_CHECK(p_lnk);
    dlnk_t *p_next = p_lnk->lnk.p_next;
    // An unlinked node has no follower: its own rank must not change.
    if (p_next != &p_head->lnk && p_next != &p_lnk->lnk) rlnk_of(p_next)->rank += p_lnk->rank;
    return rlnk_of(dlnk_remove(&p_lnk->lnk));
}

rlnk_t *rlnk_derank(rlnk_t *p_head, uint32_t value)
{
    dlnk_t *p_next = p_head->lnk.p_next;
    VEXD_CHECK(p_next);
    if (p_next != &p_head->lnk) rlnk_of(p_next)->rank = value;
    return rlnk_of(p_next);
}
