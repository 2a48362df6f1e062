// Singly linked intrusive list: a null-terminated chain behind a separate head.
//
// Records embed an slnk_t as their first member and pass a pointer to it. The
// module never allocates, frees or locks; callers own every node and serialise
// access. A null pointer argument ends the process through assert().
#pragma once

#include <cstdint>

struct slnk_t {
    slnk_t *p_next;  // next node, null at the end of the list
};

// Walk callback: 0 continues the walk, anything else stops it at `node`.
typedef int (*slnk_fn_t)(slnk_t *node, void *arg);

void slnk_init(slnk_t *p_head);
// Links p_obj directly after p_prv (the head or any element).
void slnk_insert(slnk_t *p_prv, slnk_t *p_obj);
// Appends p_obj at the end of the list; returns p_obj.
slnk_t *slnk_add(slnk_t *p_head, slnk_t *p_obj);
// Unlinks p_obj if it is in the list (its own p_next is left alone); returns p_obj.
slnk_t *slnk_remove(slnk_t *p_head, slnk_t *p_obj);
// Unlinks the node after p_obj and returns it; null when p_obj is the last node.
slnk_t *slnk_remove_next(slnk_t *p_obj);
slnk_t *slnk_next(slnk_t *p_prv);
// Calls fn for every node after p_prv in order. Returns 0 when a call stopped
// the walk, 1 when it reached the end.
int slnk_for_each(slnk_t *p_prv, slnk_fn_t fn, void *arg);

// slnk_serialize modes.
constexpr int SLNK_TO_POINTERS = 0;
constexpr int SLNK_TO_OFFSETS = 1;

// Converts the p_next fields of the elements (not the head's) between pointers
// and self-relative offsets, so that a block of nodes can be moved or stored.
// In the relative form p_next holds a signed count of 4-byte words from the
// node to its successor, stored as a pointer-width signed integer
// (reinterpret_cast<intptr_t>(p_next)); 0 marks the last node. Read it with
// slnk_offset(). Any mode other than the two above changes nothing.
void slnk_serialize(int mode, slnk_t *p_head);

// The word count a node holds in the relative form.
inline intptr_t slnk_offset(const slnk_t *p_obj) { return reinterpret_cast<intptr_t>(p_obj->p_next); }
