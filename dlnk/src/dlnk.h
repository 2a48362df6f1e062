// Doubly linked intrusive list: a circular ring around a head sentinel.
//
// Records embed a dlnk_t as their first member. An initialised node points to
// itself in both fields; a list is empty when its head's p_next is the head; a
// removed node is left pointing to itself, so removing it again changes
// nothing. The module never allocates, frees or locks. A null pointer argument
// ends the process through assert().
#pragma once

struct dlnk_t {
    dlnk_t *p_prev;
    dlnk_t *p_next;
};

// Walk callback: 0 continues the walk, anything else stops it at `node`.
typedef int (*dlnk_fn_t)(dlnk_t *node, void *arg);

void dlnk_init(dlnk_t *p_lnk);
// Links p_obj directly after p_pos; returns the node now after p_obj.
dlnk_t *dlnk_add(dlnk_t *p_pos, dlnk_t *p_obj);
// Links p_obj directly before p_pos (with the head: at the tail); returns p_pos.
dlnk_t *dlnk_insert(dlnk_t *p_pos, dlnk_t *p_obj);
// Unlinks p_obj, leaves it self-linked and returns the node that followed it.
dlnk_t *dlnk_remove(dlnk_t *p_obj);
dlnk_t *dlnk_next(dlnk_t *p_pos);
dlnk_t *dlnk_prev(dlnk_t *p_pos);
// Calls fn for each element from the first on; returns the node at which a
// call stopped the walk, or null when none did (at once for an empty list).
// The next node is read before each call, so fn may remove the node it got.
dlnk_t *dlnk_for_each(dlnk_t *p_head, dlnk_fn_t fn, void *arg);
