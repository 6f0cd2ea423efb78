// engine: umbrella header for the channel engine (flavours, ends, Select).
//
// Plain C++ with no Python in it. Construction: new_unbounded<T>(),
// new_bounded<T>(cap), after(duration_ns), never<T>(). Ends: ChannelSender<T>
// and ChannelReceiver<T> (clone, send/try_send, recv/try_recv, is_empty).
// Waiting on several ends: Select, SelectedOperation, SelectOutcome.
// Outcomes are values (SendResult, RecvResult, SelectTimeout); broken
// invariants throw quorvel::Panic; only std::bad_alloc otherwise escapes.
#pragma once

#include "base/backoff.h"
#include "engine/channel.h"
#include "engine/context.h"
#include "engine/item.h"
#include "engine/outcome.h"
#include "engine/select.h"
#include "engine/waker.h"
