// Singly linked intrusive list.
#include "slnk.h"

#include "vexd_check.h"

void slnk_init(slnk_t *p_head)
{
    VEXD_CHECK(p_head);
    p_head->p_next = nullptr;
}

void slnk_insert(slnk_t *p_prv, slnk_t *p_obj)
{
    VEXD_CHECK(p_prv && p_obj);
    p_obj->p_next = p_prv->p_next;
    p_prv->p_next = p_obj;
}

slnk_t *slnk_add(slnk_t *p_head, slnk_t *p_obj)
{
    VEXD_CHECK(p_head && p_obj);
    slnk_t *p_last = p_head;
    for (slnk_t *p = slnk_next(p_last); p != nullptr; p = slnk_next(p_last)) p_last = p;
    p_obj->p_next = nullptr;
    p_last->p_next = p_obj;
    return p_obj;
}

slnk_t *slnk_remove(slnk_t *p_head, slnk_t *p_obj)
{
    VEXD_CHECK(p_head);
    VEXD_CHECK(p_obj);
    for (slnk_t *p = p_head; p != nullptr; p = slnk_next(p)) {
        if (p->p_next == p_obj) {
            p->p_next = p_obj->p_next;
            break;
        }
    }
    return p_obj;
}

slnk_t *slnk_remove_next(slnk_t *p_obj)
{
    VEXD_CHECK(p_obj);
    slnk_t *p_rm = p_obj->p_next;
    if (p_rm == nullptr) return nullptr;
    p_obj->p_next = p_rm->p_next;
    return p_rm;
}

slnk_t *slnk_next(slnk_t *p_prv)
{
    VEXD_CHECK(p_prv);
    return p_prv->p_next;
}

int slnk_for_each(slnk_t *p_prv, slnk_fn_t fn, void *arg)
{
    VEXD_CHECK(p_prv && fn);
    // The next node is read after the call, so fn may unlink the node it got
    // (slnk_remove leaves that node's p_next in place).
    for (slnk_t *p = slnk_next(p_prv); p != nullptr; p = slnk_next(p)) {
        if (fn(p, arg) != 0) return 0;
    }
    return 1;
}

void slnk_serialize(int mode, slnk_t *p_head)
{
    if (mode == SLNK_TO_OFFSETS) {
        slnk_t *p = slnk_next(p_head);
        while (p != nullptr) {
            slnk_t *p_succ = p->p_next;
            intptr_t words = 0;
            if (p_succ != nullptr) {
                // Byte distance shifted right by 2, sign kept.
                words = static_cast<intptr_t>(reinterpret_cast<uintptr_t>(p_succ) -
                                              reinterpret_cast<uintptr_t>(p)) >>
                        2;
            }
            p->p_next = reinterpret_cast<slnk_t *>(words);
            p = p_succ;
        }
    } else if (mode == SLNK_TO_POINTERS) {
        slnk_t *p = slnk_next(p_head);
        while (p != nullptr) {
            intptr_t words = slnk_offset(p);
            p->p_next = words == 0 ? nullptr
                                   : reinterpret_cast<slnk_t *>(reinterpret_cast<uintptr_t>(p) +
                                                                (static_cast<uintptr_t>(words) << 2));
            p = p->p_next;
        }
    }
}
