// The module's classes, in the order the module registers them. Each class's
// source defines its slot; the module entry adds them to the module.
#pragma once

#include "frame/types.h"

namespace quorvel {

extern frame::ClassSlot channel_class;
extern frame::ClassSlot recv_op_class;
extern frame::ClassSlot send_op_class;
extern frame::ClassSlot concurrent_map_class;
extern frame::ClassSlot thread_pool_class;
extern frame::ClassSlot atomic_integer_class;
extern frame::ClassSlot atomic_boolean_class;
extern frame::ClassSlot rwlock_class;
extern frame::ClassSlot rwlock_read_guard_class;
extern frame::ClassSlot rwlock_write_guard_class;

// The module-level select(ops, timeout=None), added after the classes.
extern PyMethodDef select_def;

}  // namespace quorvel
