// Native tests of the call frame: the pieces Python code cannot reach
// directly (message tables, access words, detached waits, deferred release
// from threads that are not attached, native attach). The test program
// embeds the interpreter.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "frame/access.h"
#include "frame/affinity.h"
#include "frame/attach.h"
#include "frame/binding.h"
#include "frame/call.h"
#include "frame/convert.h"
#include "frame/errors.h"
#include "frame/native_thread.h"
#include "frame/ref.h"

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
const char* const kNames0[] = {"unused"};

}  // namespace

TEST(BindingMessages, Table) {
    const Signature cas{"AtomicInteger", "compare_and_set", kNames3, 3, 2};
    const Signature all_required{"Channel", "send_timeout", kNames3, 2, 2};
    const Signature none{"RwLock", "__new__", kNames0, 0, 0};
    const Signature func{nullptr, "select", kNames3, 2, 1};

    EXPECT_EQ(callable_name("RwLock", "__new__"), "RwLock.__new__()");
    EXPECT_EQ(callable_name(nullptr, "select"), "select()");

    EXPECT_EQ(too_many_positional_message(none, 1), "RwLock.__new__() takes 0 positional arguments but 1 was given");
    EXPECT_EQ(too_many_positional_message(all_required, 3),
              "Channel.send_timeout() takes 2 positional arguments but 3 were given");
    EXPECT_EQ(too_many_positional_message(cas, 4),
              "AtomicInteger.compare_and_set() takes from 2 to 3 positional arguments but 4 were given");
    EXPECT_EQ(too_many_positional_message(func, 3), "select() takes from 1 to 2 positional arguments but 3 were given");

    EXPECT_EQ(multiple_values_message(cas, "ordering"),
              "AtomicInteger.compare_and_set() got multiple values for argument 'ordering'");
    EXPECT_EQ(unexpected_keyword_message(func, "timeuot"), "select() got an unexpected keyword argument 'timeuot'");

    EXPECT_EQ(missing_arguments_message(cas, {"expected"}),
              "AtomicInteger.compare_and_set() missing 1 required positional argument: 'expected'");
    EXPECT_EQ(missing_arguments_message(cas, {"expected", "new_value"}),
              "AtomicInteger.compare_and_set() missing 2 required positional arguments: 'expected' and 'new_value'");
    EXPECT_EQ(missing_arguments_message(cas, {"a", "b", "c"}),
              "AtomicInteger.compare_and_set() missing 3 required positional arguments: 'a', 'b', and 'c'");
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

TEST(Affinity, ForeignThreadCallIsAPanicNamingBothThreads) {
    const uint64_t me = quorvel::platform::os_thread_id();
    EXPECT_NO_THROW(check_affinity(me, "_quorvel::lock::RwLockReadGuard"));
    EXPECT_EQ(affinity_message("_quorvel::lock::RwLockWriteGuard", 7, 9),
              "assertion `left == right` failed: _quorvel::lock::RwLockWriteGuard is unsendable, "
              "but sent to another thread\n  left: ThreadId(7)\n right: ThreadId(9)");
    uint64_t other = 0;
    std::thread([&] { other = quorvel::platform::os_thread_id(); }).join();
    ASSERT_NE(other, me);
    try {
        check_affinity(other, "_quorvel::lock::RwLockReadGuard");
        FAIL() << "no panic";
    } catch (const quorvel::Panic& p) {
        EXPECT_EQ(p.message(), affinity_message("_quorvel::lock::RwLockReadGuard", me, other));
    }
}

TEST(Affinity, ForeignDropIsReportedAsUnraisableAndKeepsTheCurrentError) {
    CallScope scope;
    PyObject* globals = PyDict_New();
    Py_XDECREF(PyRun_String(
        "import sys\nseen = []\nsys.unraisablehook = lambda u: seen.append((type(u.exc_value).__name__, str(u.exc_value)))",
        Py_file_input, globals, globals));
    PyErr_SetString(PyExc_KeyError, "pending");
    report_foreign_drop("_quorvel::lock::RwLockWriteGuard");
    EXPECT_EQ(take_error(), std::make_pair(std::string("KeyError"), std::string("'pending'")));
    PyObject* seen = PyDict_GetItemString(globals, "seen");
    ASSERT_EQ(PyList_Size(seen), 1);
    PyObject* entry = PyList_GetItem(seen, 0);
    EXPECT_STREQ(PyUnicode_AsUTF8(PyTuple_GetItem(entry, 0)), "RuntimeError");
    EXPECT_STREQ(PyUnicode_AsUTF8(PyTuple_GetItem(entry, 1)),
                 "_quorvel::lock::RwLockWriteGuard is unsendable, but is being dropped on another thread");
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

TEST(NativeAttach, DrainsReferencesQueuedByDetachedThreads) {
    CallScope scope;
    Tracked t;
    PyObject* obj = t.obj;
    detached([obj] {
        on_native_thread([obj] { release(obj); });
        on_native_thread([] { NativeAttach attach; });
    });
    // The attaching thread does not own the object, so the interpreter hands
    // the final decrement back to this thread, which merges it when it next
    // runs bytecode.
    PyRun_SimpleString("import gc\nfor _ in range(100): pass\ngc.collect()");
    EXPECT_FALSE(t.alive());
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

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    Py_Initialize();
    int rc = RUN_ALL_TESTS();
    // The frame never tears anything down at exit, so neither does the test.
    Py_FinalizeEx();
    return rc;
}
