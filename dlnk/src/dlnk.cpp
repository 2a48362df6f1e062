// Doubly linked intrusive list.
#include "dlnk.h"

#include "vexd_check.h"

void dlnk_init(dlnk_t *p_lnk)
{
    VEXD_CHECK(p_lnk);
    p_lnk->p_prev = p_lnk;
    p_lnk->p_next = p_lnk;
}

dlnk_t *dlnk_add(dlnk_t *p_pos, dlnk_t *p_obj)
{
    VEXD_CHECK(p_pos);
    VEXD_CHECK(p_obj);
    p_obj->p_next = p_pos->p_next;
    p_obj->p_next->p_prev = p_obj;
    p_pos->p_next = p_obj;
    p_obj->p_prev = p_pos;
    return p_obj->p_next;
}

dlnk_t *dlnk_insert(dlnk_t *p_pos, dlnk_t *p_obj)
{
    VEXD_CHECK(p_pos);  // read below before dlnk_add could check it
    return dlnk_add(p_pos->p_prev, p_obj);
}

dlnk_t *dlnk_remove(dlnk_t *p_obj)
{
    VEXD_CHECK(p_obj);
    VEXD_CHECK(p_obj->p_next);
    VEXD_CHECK(p_obj->p_prev);
    dlnk_t *next = p_obj->p_next;
    p_obj->p_prev->p_next = next;
    next->p_prev = p_obj->p_prev;
    p_obj->p_prev = p_obj;
    p_obj->p_next = p_obj;
    return next;
}

dlnk_t *dlnk_next(dlnk_t *p_pos)
{
    VEXD_CHECK(p_pos);
    return p_pos->p_next;
}

dlnk_t *dlnk_prev(dlnk_t *p_pos)
{
    VEXD_CHECK(p_pos);
    return p_pos->p_prev;
}

dlnk_t *dlnk_for_each(dlnk_t *p_head, dlnk_fn_t fn, void *arg)
{
    VEXD_CHECK(p_head && fn);
    for (dlnk_t *p = p_head->p_next; p != p_head;) {
        dlnk_t *next = p->p_next;
        if (fn(p, arg) != 0) return p;
        p = next;
    }
    return nullptr;
}
