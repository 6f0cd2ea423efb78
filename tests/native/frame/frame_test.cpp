// Native tests of the call frame: the pieces Python code cannot reach
// directly (message tables, access words, detached waits, deferred release
// from threads that are not attached, native attach). The test program
// embeds the interpreter.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "frame/access.h"
#include "frame/affinity.h"
#include "frame/attach.h"
#include "frame/binding.h"
#include "frame/call.h"
#include "frame/convert.h"
#include "frame/errors.h"
#include "frame/interrupt.h"
#include "frame/native_thread.h"
#include "frame/ref.h"
#include "frame/types.h"

using namespace quorvel::frame;

namespace {

// Current exception's type name and message, cleared.
std::pair<std::string, std::string> take_error() {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return {"", ""};
    PyObject* name = PyType_GetName(Py_TYPE(exc));
    PyObject* text = PyObject_Str(exc);
    std::pair<std::string, std::string> out{PyUnicode_AsUTF8(name), PyUnicode_AsUTF8(text)};
    Py_DECREF(name);
    Py_DECREF(text);
    Py_DECREF(exc);
    return out;
}

// Runs `fn` on a fresh thread that is not attached to the interpreter, with
// a bounded wait; a hang fails the test.
template <class F>
void on_native_thread(F fn) {
    auto done = std::async(std::launch::async, fn);
    ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "native thread hung";
    done.get();
}

// A Python object whose finalization the test can observe: an instance of a
// plain class, referenced only by the test (and a weakref).
struct Tracked {
    PyObject* obj;
    PyObject* ref;
    Tracked() {
        static PyObject* globals = [] {
            PyObject* g = PyDict_New();
            Py_XDECREF(PyRun_String("class T: pass", Py_file_input, g, g));
            return g;
        }();
        obj = PyRun_String("T()", Py_eval_input, globals, globals);
        ref = PyWeakref_NewRef(obj, nullptr);
    }
    bool alive() const {
        PyObject* target = nullptr;
        PyWeakref_GetRef(ref, &target);
        const bool is_alive = target != nullptr;
        Py_XDECREF(target);
        return is_alive;
    }
    ~Tracked() { Py_XDECREF(ref); }
};

const char* const kNames3[] = {"expected", "new_value", "ordering"};

}  // namespace

// The messages Python reaches through the classes are checked there, in one
// table (tests/test_frame.py). These are the forms no class reaches yet: a
// module-level function, and a list of four missing names.
TEST(BindingMessages, FormsNoClassReaches) {
    const Signature cas{"AtomicInteger", "compare_and_set", kNames3, 3, 2};
    const Signature func{nullptr, "select", kNames3, 2, 1};

    EXPECT_EQ(callable_name(nullptr, "select"), "select()");
    EXPECT_EQ(too_many_positional_message(func, 3), "select() takes from 1 to 2 positional arguments but 3 were given");
    EXPECT_EQ(unexpected_keyword_message(func, "timeuot"), "select() got an unexpected keyword argument 'timeuot'");
    EXPECT_EQ(missing_arguments_message(cas, {"a", "b", "c", "d"}),
              "AtomicInteger.compare_and_set() missing 4 required positional arguments: 'a', 'b', 'c', and 'd'");
}

TEST(Binding, KeywordsFillByNameAndErrorsNameTheFirstProblem) {
    CallScope scope;
    constexpr Params<3> params{"Guard", "__exit__", {"_exc_type", "_exc_value", "_traceback"}, 3};
    PyObject* one = PyLong_FromLong(1);
    PyObject* two = PyLong_FromLong(2);
    PyObject* args[] = {one, two, Py_None};
    PyObject* kw = Py_BuildValue("(s)", "_traceback");

    Bound<3> b = bind(params, args, 2, kw);  // two positional, one keyword
    EXPECT_EQ(b[0], one);
    EXPECT_EQ(b[1], two);
    EXPECT_EQ(b[2], Py_None);

    EXPECT_THROW(bind(params, args, 0, nullptr), PyErrorSet);
    EXPECT_EQ(take_error().second,
              "Guard.__exit__() missing 3 required positional arguments: '_exc_type', '_exc_value', and '_traceback'");

    PyObject* dup = Py_BuildValue("(s)", "_exc_type");
    EXPECT_THROW(bind(params, args, 2, dup), PyErrorSet);
    EXPECT_EQ(take_error().second, "Guard.__exit__() got multiple values for argument '_exc_type'");

    PyObject* odd = Py_BuildValue("(ss)", "bogus", "_exc_type");  // the first bad keyword stops binding
    PyObject* args4[] = {one, two, one, two};
    EXPECT_THROW(bind(params, args4, 2, odd), PyErrorSet);
    EXPECT_EQ(take_error().second, "Guard.__exit__() got an unexpected keyword argument 'bogus'");

    Py_DECREF(odd);
    Py_DECREF(dup);
    Py_DECREF(kw);
    Py_DECREF(one);
    Py_DECREF(two);
}

TEST(Binding, VarargsFormCollectsExtraArguments) {
    CallScope scope;
    constexpr Params<1> params{"ThreadPool", "submit", {"func"}, 1};
    PyObject* args = Py_BuildValue("(iii)", 1, 2, 3);
    PyObject* kwargs = Py_BuildValue("{s:i}", "x", 9);
    {
        BoundVarargs<1> b;
        bind_varargs(params, args, kwargs, b);
        EXPECT_EQ(PyLong_AsLong(b.params[0]), 1);
        ASSERT_TRUE(PyTuple_Check(b.extra_args));
        EXPECT_EQ(PyTuple_GET_SIZE(b.extra_args), 2);
        ASSERT_NE(b.extra_kwargs, nullptr);
        EXPECT_EQ(PyLong_AsLong(PyDict_GetItemString(b.extra_kwargs, "x")), 9);
    }
    {
        // func by keyword; no extra keywords gives no dict at all.
        PyObject* empty = PyTuple_New(0);
        PyObject* kw = Py_BuildValue("{s:i}", "func", 5);
        BoundVarargs<1> b;
        bind_varargs(params, empty, kw, b);
        EXPECT_EQ(PyLong_AsLong(b.params[0]), 5);
        EXPECT_EQ(PyTuple_GET_SIZE(b.extra_args), 0);
        EXPECT_EQ(b.extra_kwargs, nullptr);
        BoundVarargs<1> missing;
        EXPECT_THROW(bind_varargs(params, empty, nullptr, missing), PyErrorSet);
        EXPECT_EQ(take_error().second, "ThreadPool.submit() missing 1 required positional argument: 'func'");
        BoundVarargs<1> twice;
        EXPECT_THROW(bind_varargs(params, args, kw, twice), PyErrorSet);
        EXPECT_EQ(take_error().second, "ThreadPool.submit() got multiple values for argument 'func'");
        Py_DECREF(kw);
        Py_DECREF(empty);
    }
    Py_DECREF(kwargs);
    Py_DECREF(args);
}

// The report's type and text are checked from Python (a guard dropped on
// another thread); what Python cannot set up is an error already pending
// when the drop happens, which the report must leave in place.
TEST(Affinity, ForeignDropReportKeepsThePendingError) {
    CallScope scope;
    PyObject* globals = PyDict_New();
    Py_XDECREF(PyRun_String("import sys\nseen = []\nsys.unraisablehook = seen.append", Py_file_input, globals, globals));
    PyErr_SetString(PyExc_KeyError, "pending");
    report_foreign_drop("_quorvel::lock::RwLockWriteGuard");
    EXPECT_EQ(take_error(), std::make_pair(std::string("KeyError"), std::string("'pending'")));
    EXPECT_EQ(PyList_Size(PyDict_GetItemString(globals, "seen")), 1);
    Py_XDECREF(PyRun_String("sys.unraisablehook = sys.__unraisablehook__", Py_file_input, globals, globals));
    Py_DECREF(globals);
}

TEST(Access, SharedAndExclusiveRefuseEachOtherWithoutWaiting) {
    CallScope scope;
    AccessWord word{0};
    {
        SharedAccess a(word);
        SharedAccess b(word);
        EXPECT_EQ(word.load(), 2);
        EXPECT_THROW(ExclusiveAccess x(word), PyErrorSet);
        EXPECT_EQ(take_error(), std::make_pair(std::string("RuntimeError"), std::string("Already borrowed")));
        EXPECT_EQ(word.load(), 2);
    }
    EXPECT_EQ(word.load(), 0);
    {
        ExclusiveAccess x(word);
        EXPECT_EQ(word.load(), -1);
        EXPECT_THROW(SharedAccess s(word), PyErrorSet);
        EXPECT_EQ(take_error(), std::make_pair(std::string("RuntimeError"), std::string("Already mutably borrowed")));
        EXPECT_THROW(ExclusiveAccess y(word), PyErrorSet);
        EXPECT_EQ(take_error().second, "Already borrowed");
    }
    EXPECT_EQ(word.load(), 0);
}

TEST(Access, GivenBackOnEveryPathOut) {
    AccessWord word{0};
    PyObject* r = call([&]() -> PyObject* {
        SharedAccess a(word);
        quorvel::panic("boom");
    });
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(take_error(), std::make_pair(std::string("PanicException"), std::string("boom")));
    EXPECT_EQ(word.load(), 0);
    r = call([&]() -> PyObject* {
        ExclusiveAccess a(word);
        throw std::bad_alloc();
    });
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(take_error().first, "MemoryError");
    EXPECT_EQ(word.load(), 0);
}

TEST(CallFrame, DepthRisesForTheBodyOnly) {
    const int before = attach_depth();
    PyObject* r = call([&] {
        EXPECT_EQ(attach_depth(), before + 1);
        PyObject* inner = call([&] {
            EXPECT_EQ(attach_depth(), before + 2);
            Py_RETURN_NONE;
        });
        Py_XDECREF(inner);
        Py_RETURN_NONE;
    });
    Py_XDECREF(r);
    EXPECT_EQ(attach_depth(), before);
}

TEST(DetachedWait, DepthIsZeroInsideAndRestoredOnEveryPath) {
    CallScope scope;
    const int depth = attach_depth();
    ASSERT_GT(depth, 0);
    int inside = -1;
    const int result = detached([&] {
        inside = attach_depth();
        // No thread state while detached.
        return PyGILState_Check();
    });
    EXPECT_EQ(inside, 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(attach_depth(), depth);
    EXPECT_TRUE(PyGILState_Check());

    EXPECT_THROW(detached([] { quorvel::panic("inside the wait"); }), quorvel::Panic);
    EXPECT_EQ(attach_depth(), depth);
    EXPECT_TRUE(PyGILState_Check());
}

TEST(DeferredRelease, ReferencesDroppedWhileDetachedWaitForTheNextAttach) {
    CallScope scope;
    Tracked t;
    PyObject* obj = t.obj;
    ASSERT_TRUE(t.alive());
    // Another, never attached thread drops the last reference: it is queued.
    on_native_thread([obj] {
        EXPECT_EQ(attach_depth(), 0);
        release(obj);
    });
    EXPECT_TRUE(t.alive());
    // Entering a call frame drains the queue.
    PyObject* r = call([] { Py_RETURN_NONE; });
    Py_XDECREF(r);
    EXPECT_FALSE(t.alive());
}

TEST(DeferredRelease, ItemsDroppedInsideADetachedWaitGoAtReattach) {
    CallScope scope;
    Tracked a, b;
    Item first = Item::steal(a.obj);
    Item second = Item::steal(b.obj);
    bool alive_inside = false;
    detached([&] {
        first = Item();                 // dropped at depth 0: queued
        Item moved = std::move(second);  // moving is allowed while detached
        moved = Item();
        alive_inside = true;
    });
    EXPECT_TRUE(alive_inside);
    // The detached wait drained on its way back.
    EXPECT_FALSE(a.alive());
    EXPECT_FALSE(b.alive());
}

TEST(DeferredRelease, ManyDetachedThreadsLoseNothing) {
    CallScope scope;
    constexpr int kThreads = 4, kPerThread = 500;
    std::vector<PyObject*> objs;
    PyObject* list = PyList_New(0);
    for (int i = 0; i < kThreads * kPerThread; ++i) {
        PyObject* o = PyLong_FromLong(100000 + i);  // not cached small ints
        PyList_Append(list, o);
        objs.push_back(o);  // the list holds one more reference each
    }
    detached([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kPerThread; ++i) release(objs[size_t(t * kPerThread + i)]);
            });
        }
        for (auto& th : threads) th.join();
    });
    for (PyObject* o : objs) EXPECT_EQ(Py_REFCNT(o), 1);  // only the list's reference is left
    Py_DECREF(list);
}

TEST(NativeAttach, FreshThreadAttachesRunsPythonAndLeaves) {
    CallScope scope;
    detached([] {
        on_native_thread([] {
            EXPECT_EQ(attach_depth(), 0);
            {
                NativeAttach outer;
                EXPECT_EQ(attach_depth(), 1);
                EXPECT_TRUE(PyGILState_Check());
                PyObject* v = PyLong_FromLong(41);
                PyObject* w = PyNumber_Add(v, v);
                EXPECT_EQ(PyLong_AsLong(w), 82);
                Py_DECREF(v);
                Py_DECREF(w);
                {
                    NativeAttach nested;  // already attached: only the depth moves
                    EXPECT_EQ(attach_depth(), 2);
                }
                EXPECT_EQ(attach_depth(), 1);
            }
            EXPECT_EQ(attach_depth(), 0);
        });
    });
}

TEST(NativeAttach, DrainsTheDeferredListOnTheAttachingThread) {
    CallScope scope;
    PyObject* obj = PyLong_FromLong(1234567);  // not a cached small int
    Py_ssize_t seen_by_attacher = -1;
    // This thread stays detached throughout, so only the attaching thread can
    // have drained the queued reference when it looks. The reference to queue
    // is taken on another thread: a decrement that brought another thread's
    // share of the count below zero would be handed to this (owning) thread,
    // and so not show in the count until it runs again.
    detached([&] {
        on_native_thread([obj] {
            NativeAttach attach;
            Py_INCREF(obj);
        });
        on_native_thread([obj] { release(obj); });
        on_native_thread([&] {
            NativeAttach attach;
            seen_by_attacher = Py_REFCNT(obj);
        });
    });
    EXPECT_EQ(seen_by_attacher, 1) << "the native attach left the deferred release queued";
    Py_DECREF(obj);
}

namespace {

// Called from a finalizer while the interpreter shuts down: a fresh native
// thread tries to attach and reports what happened on stderr.
PyObject* attach_from_a_native_thread(PyObject*, PyObject*) {
    auto attempt = std::async(std::launch::async, []() -> std::string {
        try {
            NativeAttach attach;
            return "attached";
        } catch (const quorvel::Panic& p) {
            return p.message();
        }
    });
    if (attempt.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        std::fputs("native attach hung\n", stderr);
        std::_Exit(3);
    }
    std::fprintf(stderr, "%s\n", attempt.get().c_str());
    std::fflush(stderr);
    Py_RETURN_NONE;
}

[[noreturn]] void finalize_with_a_probe() {
    static PyMethodDef def = {"attach_from_a_native_thread", attach_from_a_native_thread, METH_NOARGS, nullptr};
    PyObject* probe = PyCFunction_New(&def, nullptr);
    PyObject_SetAttrString(PyImport_AddModule("__main__"), "probe", probe);
    Py_DECREF(probe);
    PyRun_SimpleString(
        "class Probe:\n"
        "    def __del__(self, probe=probe):\n"
        "        probe()\n"
        "keep = Probe()\n");
    Py_FinalizeEx();
    std::_Exit(0);
}

}  // namespace

// In a child process (re-run of this program), which finalizes its
// interpreter: the finalizer of an object in __main__ runs while the
// interpreter is finalizing and tries a native attach from a fresh thread.
TEST(NativeAttachDeathTest, RefusedWhileTheInterpreterFinalizes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(finalize_with_a_probe(),
        ::testing::ExitedWithCode(0), "Cannot attach to the Python interpreter while it is finalizing\\.");
}

TEST(NativeThread, KeepsOneThreadStateAcrossEntriesAndDrainsOnEach) {
    CallScope scope;
    Tracked t;
    PyObject* obj = t.obj;
    detached([obj] {
        on_native_thread([obj] {
            NativeThread python;
            PyThreadState* first = nullptr;
            for (int round = 0; round < 3; ++round) {
                if (round == 1) release(obj);  // queued: this thread is detached here
                python.enter();
                EXPECT_EQ(attach_depth(), 1);
                EXPECT_TRUE(PyGILState_Check());
                if (round == 0) first = PyThreadState_Get();
                EXPECT_EQ(PyThreadState_Get(), first);  // the state made by the first entry
                python.leave();
                EXPECT_EQ(attach_depth(), 0);
            }
            python.retire();
            EXPECT_EQ(PyGILState_GetThisThreadState(), nullptr);  // deleted by retire()
        });
    });
    PyRun_SimpleString("import gc\nfor _ in range(100): pass\ngc.collect()");
    EXPECT_FALSE(t.alive());
}

TEST(Conversion, ArgumentErrorsCarryTheParameterNote) {
    CallScope scope;
    PyObject* text = PyUnicode_FromString("x");
    EXPECT_THROW(arg_i64(text, "delta"), PyErrorSet);
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* notes = PyObject_GetAttrString(exc, "__notes__");
    ASSERT_NE(notes, nullptr);
    ASSERT_EQ(PyList_Size(notes), 1);
    EXPECT_STREQ(PyUnicode_AsUTF8(PyList_GetItem(notes, 0)), "while processing 'delta'");
    Py_DECREF(notes);
    Py_DECREF(exc);

    PyObject* big = PyLong_FromUnsignedLongLong(~0ull);
    EXPECT_EQ(arg_u64(big, "shard_count"), ~0ull);
    PyObject* neg = PyLong_FromLong(-1);
    EXPECT_THROW(arg_u64(neg, "shard_count"), PyErrorSet);
    EXPECT_EQ(take_error().first, "OverflowError");
    Py_DECREF(neg);
    Py_DECREF(big);
    Py_DECREF(text);
}

TEST(Affinity, AnIdOfAnExitedThreadIsNeverHandedToALaterThread) {
    // The creator records its id and exits; later threads run until the OS
    // gives one of them the creator's OS thread id again (it reuses ids once
    // they wrap), and that thread must still be refused.
    long pid_max = 0;
    if (FILE* f = std::fopen("/proc/sys/kernel/pid_max", "r")) {
        if (std::fscanf(f, "%ld", &pid_max) != 1) pid_max = 0;
        std::fclose(f);
    }
    if (pid_max <= 0 || pid_max > 131072) GTEST_SKIP() << "OS thread ids wrap only after too many threads here";
    uint64_t creator = 0, creator_os = 0;
    std::thread([&] {
        creator = affinity_id();
        creator_os = quorvel::platform::os_thread_id();
    }).join();
    std::atomic<bool> reused{false}, refused{false};
    std::atomic<int> own_ids_equal{0};
    for (long i = 0; i < 3 * pid_max && !reused.load(); ++i) {
        std::thread([&] {
            if (affinity_id() == creator) own_ids_equal.fetch_add(1);
            if (quorvel::platform::os_thread_id() != creator_os) return;
            reused.store(true);
            try {
                check_affinity(creator, "_quorvel::lock::RwLockWriteGuard");
            } catch (const quorvel::Panic&) {
                refused.store(true);
            }
        }).join();
    }
    EXPECT_EQ(own_ids_equal.load(), 0);
    if (!reused.load()) GTEST_SKIP() << "the OS did not hand the creator's thread id out again";
    EXPECT_TRUE(refused.load());
}

TEST(Access, CheckedWordAdmitsSharedCallsAndHasNoExclusivePath) {
    static_assert(!std::is_constructible_v<ExclusiveAccess, CheckedAccessWord&>,
                  "a class whose word is only checked has no exclusive path");
    CallScope scope;
    CheckedAccessWord word;
    SharedAccess a(word);
    SharedAccess b(word);
    EXPECT_FALSE(word.exclusively_held());
    EXPECT_FALSE(PyErr_Occurred());
}

namespace {

// A class whose state counts its constructions and destructions.
struct Counted {
    static inline int built = 0, destroyed = 0;
    int value = 7;
    Counted() { ++built; }
    ~Counted() { ++destroyed; }
};

PyType_Slot counted_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Counted>)},
    {0, nullptr},
};
PyType_Spec counted_spec = {"builtins.Counted", int(sizeof(Instance<Counted>)), 0, Py_TPFLAGS_DEFAULT, counted_slots};

}  // namespace

TEST(Instances, UninitializedStateIsRefusedAndNeverDestroyed) {
    CallScope scope;
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&counted_spec));
    ASSERT_NE(type, nullptr);
    Counted::built = Counted::destroyed = 0;

    PyObject* made = new_instance<Counted>(type);
    EXPECT_EQ(state_of<Counted>(made).value, 7);
    Py_DECREF(made);
    EXPECT_EQ(Counted::destroyed, 1);

    // What object.__new__ gives: zeroed memory, no state.
    PyObject* raw = type->tp_alloc(type, 0);
    ASSERT_NE(raw, nullptr);
    EXPECT_FALSE(is_initialized<Counted>(raw));
    EXPECT_THROW(state_of<Counted>(raw), PyErrorSet);
    EXPECT_EQ(take_error(), std::make_pair(std::string("TypeError"), std::string("Counted object is not initialized")));
    Py_DECREF(raw);
    EXPECT_EQ(Counted::built, 1);
    EXPECT_EQ(Counted::destroyed, 1);
    Py_DECREF(type);
}

TEST(DeferredRelease, ReleaseAttachesWhenThePendingListCannotGrow) {
    CallScope scope;
    // From a thread that was never attached.
    Tracked a;
    PyObject* obj = a.obj;
    detached([obj] {
        on_native_thread([obj] {
            detail::fail_pending_growth.store(1);
            release(obj);
            EXPECT_EQ(detail::fail_pending_growth.load(), 0u);
        });
    });
    EXPECT_FALSE(detail::pending_nonempty.load());
    // The release ran on another thread; the owner merges it when it next
    // runs bytecode.
    PyRun_SimpleString("for _ in range(100): pass");
    EXPECT_FALSE(a.alive());

    // From inside this thread's own detached wait.
    Tracked b;
    PyObject* second = b.obj;
    bool queued = true;
    detached([&] {
        detail::fail_pending_growth.store(1);
        release(second);
        queued = detail::pending_nonempty.load();
    });
    EXPECT_FALSE(queued);
    EXPECT_FALSE(b.alive());
    EXPECT_TRUE(PyGILState_Check());
}

#if QUORVEL_DEBUG_CHECKS
TEST(DebugChecksDeathTest, DroppingAnOwnedReferenceWhileDetachedAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            CallScope scope;
            Owned held = Owned::steal(PyLong_FromLong(123456));
            detached([&] { held = Owned(); });
        },
        "Owned dropped while detached");
}
#endif

TEST(InterruptibleWait, MainThreadRunsHandlersBetweenSlicesAndGivesUp) {
    CallScope scope;
    ASSERT_TRUE(waits_in_slices());  // the test's main thread started the interpreter
    std::vector<std::optional<uint64_t>> slices;
    bool attached_inside = true;
    EXPECT_THROW(interruptible([&](std::optional<uint64_t> slice) -> std::optional<int> {
                     slices.push_back(slice);
                     attached_inside = attached_inside && PyGILState_Check();
                     // As a Ctrl-C arriving during the second slice would.
                     if (slices.size() == 2) PyErr_SetInterruptEx(SIGINT);
                     return std::nullopt;
                 }),
                 PyErrorSet);
    EXPECT_EQ(take_error().first, "KeyboardInterrupt");
    ASSERT_EQ(slices.size(), 2u);  // the handler ran after the slice it arrived in, not later
    EXPECT_EQ(slices[0], std::optional<uint64_t>(kInterruptSliceNs));
    EXPECT_FALSE(attached_inside);  // every slice ran detached

    // A result ends the wait at once, whatever the slice.
    EXPECT_EQ(interruptible([](std::optional<uint64_t>) { return std::optional<int>(7); }), 7);
}

TEST(InterruptibleWait, OtherThreadsWaitInOnePiece) {
    on_native_thread([] {
        NativeAttach attach;
        EXPECT_FALSE(waits_in_slices());
        int calls = 0;
        const int got = interruptible([&](std::optional<uint64_t> slice) -> std::optional<int> {
            ++calls;
            EXPECT_FALSE(slice.has_value());
            return 3;
        });
        EXPECT_EQ(got, 3);
        EXPECT_EQ(calls, 1);
    });
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    Py_Initialize();
    int rc = RUN_ALL_TESTS();
    // The frame never tears anything down at exit, so neither does the test.
    Py_FinalizeEx();
    return rc;
}
