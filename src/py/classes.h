// The module's classes, in the order the module registers them. Each class's
// source defines its slot; the module entry adds them to the module.
#pragma once

#include "frame/types.h"

namespace quorvel {

extern frame::ClassSlot concurrent_map_class;
extern frame::ClassSlot thread_pool_class;
extern frame::ClassSlot atomic_integer_class;
extern frame::ClassSlot atomic_boolean_class;
extern frame::ClassSlot rwlock_class;
extern frame::ClassSlot rwlock_read_guard_class;
extern frame::ClassSlot rwlock_write_guard_class;

}  // namespace quorvel
