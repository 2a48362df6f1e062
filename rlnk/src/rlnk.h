// Ranked list: a dlnk ring whose nodes carry a rank, the distance of each node
// from the node before it (the first node's rank is its distance from now).
//
// The position of a node is the sum of the ranks from the first node up to
// and including it; inserting or removing a node keeps the positions of the
// others. The head's own rank is 0. Ranks and positions are unsigned 32-bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dlnk.h"

struct rlnk_t {
    dlnk_t lnk;     // p_prev, p_next
    uint32_t rank;  // distance from the node before
};
// rlnk_of turns the dlnk nodes of the ring back into their rlnk_t.
static_assert(offsetof(rlnk_t, lnk) == 0, "the dlnk node must be the first member of rlnk_t");

inline rlnk_t *rlnk_of(dlnk_t *p) { return reinterpret_cast<rlnk_t *>(p); }
inline rlnk_t *rlnk_first(rlnk_t *p_head) { return rlnk_of(p_head->lnk.p_next); }
inline rlnk_t *rlnk_next(rlnk_t *p_lnk) { return rlnk_of(p_lnk->lnk.p_next); }

// Unlinked (self-linked) node with rank `time`.
void rlnk_init(rlnk_t *p_lnk, uint32_t time);
// Inserts p_lnk, whose rank holds its position, after every node whose position
// is at or before it; the node after it is re-ranked so its position is kept.
// Returns p_lnk's new rank (its distance from the node before).
uint32_t rlnk_insert(rlnk_t *p_head, rlnk_t *p_lnk);
// Unlinks p_lnk; the node that followed, if any, takes over its rank. Returns
// that node (the head when p_lnk was last; p_lnk itself when it was unlinked).
rlnk_t *rlnk_remove(rlnk_t *p_head, rlnk_t *p_lnk);
// Sets the first node's rank to `value` (nothing on an empty list); returns
// the first node, or the head when the list is empty.
rlnk_t *rlnk_derank(rlnk_t *p_head, uint32_t value);
